#ifndef ORB_SDK_EXPORT_H
#define ORB_SDK_EXPORT_H

/* One export macro for the whole interface. The library is built with
 * ORB_SDK_BUILDING defined; applications linking the static archive define
 * ORB_SDK_STATIC. */
#if defined(ORB_SDK_STATIC)
#define ORB_API
#elif defined(_WIN32)
#if defined(ORB_SDK_BUILDING)
#define ORB_API __declspec(dllexport)
#else
#define ORB_API __declspec(dllimport)
#endif
#else
#define ORB_API __attribute__((visibility("default")))
#endif

#endif /* ORB_SDK_EXPORT_H */
