# Every dependency comes from Debian packages (scripts/setup.sh installs them).
set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)
find_package(Protobuf REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBEVENT REQUIRED IMPORTED_TARGET
  libevent_core libevent_extra libevent_openssl libevent_pthreads)
pkg_check_modules(LZ4 REQUIRED IMPORTED_TARGET liblz4)
pkg_check_modules(JANSSON REQUIRED IMPORTED_TARGET jansson)
# Header-only single-producer single-consumer queues of the callback workers
# (included as <readerwriterqueue/readerwriterqueue.h>).
find_path(READERWRITERQUEUE_INCLUDE_DIR readerwriterqueue/readerwriterqueue.h REQUIRED)
