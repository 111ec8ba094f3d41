/* Tracemoor: the debug log every Pyrewick library writes its diagnostic lines to. */
#ifndef TRACEMOOR_H
#define TRACEMOOR_H

#ifdef __cplusplus
extern "C" {
#endif

#define VYR_EXPORT __attribute__((visibility("default")))

/* printf-style line. Safe from any thread; a line is never interleaved with
 * another thread's. Before vyr_open_logfile and after vyr_close_logfile the
 * text goes to standard error. Returns the number of bytes formatted. */
VYR_EXPORT int vyr_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* Opens (appends to) the log file at path; later text goes there. mode: 1.
 * Returns 0 on success, -1 when the file cannot be opened (text keeps going to
 * standard error). */
VYR_EXPORT int vyr_open_logfile(const char *path, int mode);

/* Closes the log file; later text goes to standard error again. */
VYR_EXPORT int vyr_close_logfile(void);

#ifdef __cplusplus
}
#endif

#endif
