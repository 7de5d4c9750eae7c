#!/usr/bin/env bash
# The layers' arrows, held by the build: every #include of one of the project's folders must
# run the way the design allows, and Qt stays in the window, its entry point and the socket
# component. A failure names the file, the line and what that folder may use.
# Usage: tests/packaging/layers.sh [SOURCE_DIR]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$root"

# folder: the folders (or single headers, folder/name.h) its files may include.
# base/ (the result type) is below every layer.
declare -A allowed=(
  [base]="base"
  [image]="image base"
  [isp]="isp image base"
  # The platform library: files, the configuration directory, the system's error texts.
  [file]="file base"
  # The transports implement the engine's link interface and never see the engine.
  [link]="link isp/link.h file base"
  # The simulated chip shares the line's rates, COM names and Telnet bytes, pins its COMn in
  # the configuration directory and writes its flash file through the one atomic write.
  [sim]="sim link/com_name.h link/serial_rate.h link/telnet.h file base"
  [cli]="cli isp image link file base"
  [ui]="ui isp image link file base"
  [app]="ui"
)
# Where Qt may be included.
qt_allowed='^(ui|app)/|^link/powersock\.(h|cpp)$'

problems=0
for folder in "${!allowed[@]}"; do
  while IFS= read -r -d '' file; do
    while IFS=: read -r line text; do
      target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]+)".*/\1/' <<<"$text")
      [[ $target == */* ]] || continue
      top=${target%%/*}
      [ -d "$top" ] || continue  # a generated or system header, not one of ours
      ok=0
      for permitted in ${allowed[$folder]}; do
        if [[ $permitted == */* ]]; then
          [ "$target" = "$permitted" ] && ok=1
        elif [ "$top" = "$permitted" ]; then
          ok=1
        fi
      done
      if [ "$ok" -eq 0 ]; then
        echo "layers: $file:$line includes \"$target\": $folder/ may use only ${allowed[$folder]}"
        problems=$((problems + 1))
      fi
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"' "$file" || true)
    if grep -qE '^[[:space:]]*#[[:space:]]*include[[:space:]]+<Q' "$file" && ! [[ $file =~ $qt_allowed ]]; then
      echo "layers: $file includes Qt, which belongs to the window (ui/, app/) and the socket component"
      problems=$((problems + 1))
    fi
  done < <(find "$folder" -type f \( -name '*.cpp' -o -name '*.h' \) -print0)
done

if [ "$problems" -gt 0 ]; then
  echo "layers: $problems include(s) against the arrows" >&2
  exit 1
fi
echo "layers: every include runs the way the layers allow"
