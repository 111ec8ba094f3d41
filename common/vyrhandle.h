/* The device handle that crosses every Pyrewick library. */
#ifndef VYRHANDLE_H
#define VYRHANDLE_H

#include <stdint.h>

/* A file descriptor (at least 3); 0 = none, -1 = found but not opened. */
typedef intptr_t VyrHandle;

#ifndef VYR_EXPORT
#define VYR_EXPORT __attribute__((visibility("default")))
#endif

#endif
