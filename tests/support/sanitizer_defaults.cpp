// Defaults for the sanitizer build of the test programs. Leaks inside the system libraries
// the window tests load (fonts, the platform plugin) are not ours to fix.
extern "C" {
const char* __asan_default_options();
const char* __lsan_default_suppressions();
const char* __ubsan_default_options();

__attribute__((used)) const char* __asan_default_options() { return "detect_leaks=1"; }
__attribute__((used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig\n"
         "leak:libQt6Gui\n"
         "leak:libQt6Core\n"
         "leak:libQt6Widgets\n"
         "leak:libglib\n"
         "leak:libdbus\n"
         "leak:libgobject\n";
}
__attribute__((used)) const char* __ubsan_default_options() { return "print_stacktrace=1"; }
}
