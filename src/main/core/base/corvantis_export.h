/* Visibility and linkage of the public C API.
 *
 * Every public function of the core is declared between
 * CORVANTIS_EXTERN_C_BEGIN / CORVANTIS_EXTERN_C_END and marked CORVANTIS_API,
 * so C callers, ctypes and the Python module all see the same unmangled,
 * visible symbols while file-local helpers stay hidden. */
#ifndef CORVANTIS_EXPORT_H
#define CORVANTIS_EXPORT_H

#if defined(_WIN32)
#define CORVANTIS_API __declspec(dllexport)
#else
#define CORVANTIS_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define CORVANTIS_EXTERN_C_BEGIN extern "C" {
#define CORVANTIS_EXTERN_C_END }
#else
#define CORVANTIS_EXTERN_C_BEGIN
#define CORVANTIS_EXTERN_C_END
#endif

#endif
