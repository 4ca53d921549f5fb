/*
 * kdx_common.h - calling convention and basic types shared by the public
 * headers of both reader libraries (velmor.h, tarsk.h).
 *
 * Every export is a flat C function. On 32-bit Windows it uses the
 * standard (stdcall) convention and is exported under its undecorated name;
 * elsewhere it uses the platform's C convention.
 *
 * Every argument occupies one 32-bit slot. Integer arguments are declared
 * as uint32_t; each export uses only the low 8 or 16 bits its documentation
 * names, so a caller may pass any 32-bit value (257 as a mode means 1).
 */
#ifndef KDX_COMMON_H
#define KDX_COMMON_H

#include <stdint.h>

#if defined(_WIN32)
#  define KDX_CALL __stdcall
#  if defined(KDX_BUILDING_LIBRARY)
     /* The library's .def file lists the exports under their undecorated
      * names; dllexport would add the decorated ones too. */
#    define KDX_API
#  else
#    define KDX_API __declspec(dllimport)
#  endif
#else
#  define KDX_CALL
#  define KDX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#  define KDX_EXTERN_C_BEGIN extern "C" {
#  define KDX_EXTERN_C_END }
#else
#  define KDX_EXTERN_C_BEGIN
#  define KDX_EXTERN_C_END
#endif

/* Result of nearly every export: 0 is success; each library has its own
 * numbering and message table. */
typedef uint16_t StatusCode;

#endif /* KDX_COMMON_H */
