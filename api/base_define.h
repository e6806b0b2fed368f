// Basic definitions shared by the public headers: the export macro and the
// library's namespace. Applications include the other api/ headers, which
// include this one.
#ifndef QEL_API_BASE_DEFINE_H
#define QEL_API_BASE_DEFINE_H

#if defined(__GNUC__)
#define QEL_API __attribute__((visibility("default")))
#else
#define QEL_API
#endif

#endif  // QEL_API_BASE_DEFINE_H
