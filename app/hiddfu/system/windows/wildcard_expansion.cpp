// Linked into hiddfu.exe only, in the Windows build.
//
// On Windows the shell passes wildcards to programs unexpanded: `hiddfu
// dfufile *.dfu` receives "*.dfu" itself. A non-zero _dowildcard asks the
// MinGW-w64 start-up code to have the C runtime expand such arguments into the
// matching file names before main runs, as a POSIX shell would. A pattern
// that matches nothing is passed on as written.
int _dowildcard = -1;
