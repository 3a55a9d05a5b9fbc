/* The one export macro of Keel.
 *
 * The shared library is built with hidden visibility; only declarations marked
 * KEEL_API are visible to programs that link it. */
#ifndef KEEL_EXPORT_H
#define KEEL_EXPORT_H

#if defined(_WIN32)
/* The DLL exports what is marked; a program imports it through the import
 * library, so the plain declaration serves both mingw and MSVC. */
#if defined(KEEL_BUILDING_LIBRARY)
#define KEEL_API __declspec(dllexport)
#else
#define KEEL_API
#endif
#elif defined(KEEL_BUILDING_LIBRARY)
#define KEEL_API __attribute__((visibility("default")))
#else
#define KEEL_API
#endif

#ifdef __cplusplus
#define KEEL_BEGIN_DECLS extern "C" {
#define KEEL_END_DECLS }
#else
#define KEEL_BEGIN_DECLS
#define KEEL_END_DECLS
#endif

#endif /* KEEL_EXPORT_H */
