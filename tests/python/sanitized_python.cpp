// The Python interpreter of the sanitizer builds: Debian's libpython run from
// an executable that carries the sanitizer runtime, so that the instrumented
// library and module loaded into it find that runtime, and so that the
// programs the tests start (openssl, the simulator) are not touched by it.
// Takes the command line of python3 itself; runs on the main thread only.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

int main(int argc, char** argv) { return Py_BytesMain(argc, argv); }
