#pragma once
// The settings file "Hotkey.TXT": fifteen lines of 8-bit text, each ended by CR LF, that
// carry the hot keys, the cyclic sender, the window placement, the module host, the baud
// selection, the last HEX file and the terminal font from one run to the next.
//
// Reading does not touch any widget: it yields the values and the ordered list of steps
// in which the window applies them. A value that is no decimal integer ends the loading
// at that value; the steps before it are still applied and then its conversion failure is
// shown. The file lives in the configuration directory, both for reading and writing, and
// is replaced by the one atomic write.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace velkorn::file {

inline constexpr const char* kSettingsFileName = "Hotkey.TXT";
// Shown (OK button) when there is no settings file; every default is kept.
inline constexpr const char* kSettingsMissingText =
    "Unable to load \"Hotkey.txt\". Using default hotkeys";
// The program always writes this many lines, and reads no more than these.
inline constexpr int kSettingsLineCount = 15;
// Fifteen lines of hot keys, a host and a path fit many times over; a larger file is
// read only this far, so a file that grew by accident cannot hold up the start.
inline constexpr std::size_t kSettingsReadLimit = 64 * 1024;
// The text after the fourth comma of the placement line.
inline constexpr const char* kPlacementSuffix = " (Left,Top,Width,Height)";
// The index of the last item of the Baudrate group (115200).
inline constexpr int kLastBaudIndex = 9;
// The terminal font's size in the layout: 11 pixels high at 96 dpi.
inline constexpr int kDefaultFontPoints = 8;
// The hot keys F1 to F6, one caption each.
inline constexpr int kHotKeyCount = 6;

// The values the file carries. A default-made one holds what the window shows before any
// file was read and keeps where a file is missing or ends early: the one source of those
// defaults for the window's layout and for the loading.
struct Settings {
  std::array<std::string, kHotKeyCount> captions{"KP01001", "KP02001", "AM0105", "QS0105", "DOWNLOAD", ""};
  std::string cycleStr = "KP01@";  // eCycleStr
  std::string cycle = "500 ms";    // eCycle
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  std::string host;                // the socket's Host
  int baudIndex = kLastBaudIndex;  // rgBaud's selected index, -1 when none
  std::string fileName;            // OpenDialog1's file name
  std::string fontName = "Courier New";
  int fontSize = kDefaultFontPoints;  // points
  bool bold = false;
};

// One thing the window does with a loaded value, in the order the loading does them.
enum class SettingsStep {
  Caption1,   // tbf1's caption := captions[0]
  Caption2,
  Caption3,
  Caption4,
  Caption5,
  Caption6,
  CycleStr,   // eCycleStr := cycleStr
  Cycle,      // eCycle := cycle
  Left,       // the window's left := left (each placement value right after it was read)
  Top,
  Width,
  Height,
  Host,       // the socket's Host := host
  IpBox,      // eIP := the socket's Host (runs whenever the file exists; empties the box
              // when the file holds no host)
  BaudNone,   // rgBaud's selection := none (no click handler runs)
  BaudIndex,  // rgBaud's selection := baudSelection(baudIndex)
  FileName,   // OpenDialog1's file name := fileName
  FontName,   // Memo1's font name := fontName
  FontSize,   // Memo1's font size := fontSize points
  FontStyle,  // Memo1's font style := plain, plus bold when `bold`
};

struct LoadedSettings {
  bool fileFound = false;          // false: show kSettingsMissingText, keep the defaults
  std::string path;                // the file that was read
  int lineCount = 0;               // lines read (at most kSettingsLineCount)
  Settings values;                 // what was read; the rest keeps the defaults
  std::vector<SettingsStep> steps; // apply these, in this order
  // Set when the loading ended early: a value that is no integer (Invalid), or the file
  // could not be read (the system's code). The message is the error box's text ("'x' ist
  // kein gültiger Integerwert", "Datei ... kann nicht geöffnet werden"), shown after
  // applying `steps`.
  std::optional<Error> failure;
};

// The selection the Baudrate group gets from a stored index, and whether that selection
// runs rgBaudClick (the group was set to none first, so any item is a change).
struct BaudSelection {
  int index = -1;  // -1: none
  bool runsClickHandler = false;
};
BaudSelection baudSelection(int storedIndex);

// The lines of a text as the loading sees them: a line ends at CR LF, CR or LF, a NUL ends
// the text, a line end at the very end opens no further line. At most `maxLines`.
std::vector<std::string> splitSettingsLines(std::string_view text,
                                            std::size_t maxLines = static_cast<std::size_t>(-1));
// A signed decimal integer (leading blanks allowed, 32-bit); nullopt when it is none.
std::optional<std::int32_t> parseSettingsInteger(std::string_view text);

// The loading rules applied to the file's whole content.
LoadedSettings parseSettings(std::string_view content);

// "L,T,W,H, (Left,Top,Width,Height)"
std::string formatPlacement(int left, int top, int width, int height);
// The fifteen lines, each ended by CR LF.
std::string formatSettings(const Settings& settings);

// The settings file in a directory (the name exactly as written).
std::string settingsPath(const std::string& directory);
// The configuration directory (file/directories.h) used for both reading and writing.
std::string settingsDirectory();

// Where the package installs its default settings file: share/velkorn beside the folder
// that holds the program, so that an installation under any prefix finds its own.
std::string installedSettingsDirectory();

// Reads the settings file of the directory (its first kSettingsReadLimit bytes; a line
// cut by that limit is not read). A file of that name in other letter case (copied from a
// system that ignores case) is read when the exact name is missing.
LoadedSettings loadSettingsFrom(const std::string& directory);
// The user's file in `directory`; without one, the default in `installedDirectory`, read
// as silently as the user's own (fileFound is set). Only when neither can be read is the
// result the missing file.
LoadedSettings loadSettingsFrom(const std::string& directory, const std::string& installedDirectory);
// Where a program in `programDirectory` finds the default settings file: share/velkorn
// beside its folder (an installation), else its own folder (a build tree has no share/
// folder; the build puts the default beside the program).
std::vector<std::string> defaultSettingsDirectories(const std::string& programDirectory);
// The user's file in `directory`, else the first default that a program in
// `programDirectory` finds.
LoadedSettings loadSettingsFor(const std::string& directory, const std::string& programDirectory);
// The configuration directory's file, else the default of this program.
LoadedSettings loadSettings();

// Replaces the directory's settings file atomically: a temporary file beside it, flushed
// to disk, then renamed over the old one. The file written is the one the loading reads
// (a name in other letter case included); a symbolic link is written through to its
// target and stays a link. Temporary files that a save killed before this process started
// left behind are removed. On failure the old file stays as it was and the error's message
// is the box's text: "Stream-Schreibfehler" when the text did not reach the disk
// (NotWritten), "Datei ... kann nicht erstellt werden" otherwise.
Status saveSettingsTo(const Settings& settings, const std::string& directory);
// The same in the configuration directory, which is created when missing.
Status saveSettings(const Settings& settings);

}  // namespace velkorn::file
