/*
 * kdx_status.h - readable statuses, an extension export present in both
 * reader libraries under the same name and signature.
 *
 * KDX_ErrorMsg gives the contract's 32-byte Chinese text in GBK.
 * KDX_DescribeStatus gives, for the same code of the same library, the
 * status's name as the library's header spells it ("ST_PORT_INIT_FAILED")
 * and a short English text in UTF-8 ("cannot open the port"), for logs and
 * for users who read neither GBK nor Chinese.
 */
#ifndef KDX_STATUS_H
#define KDX_STATUS_H

#include "kdx_common.h"

KDX_EXTERN_C_BEGIN

#ifndef KDX_BOTH_LIBRARIES /* (the functions are each library's own) */
/*
 * KDX_DescribeStatus(code, name, text)
 *   code  low 16 bits: a status code of this library.
 *   name  where to store a pointer to the NUL-terminated ASCII name, or NULL.
 *   text  where to store a pointer to the NUL-terminated English text
 *         (UTF-8, at most 63 bytes, lower case, no final full stop), or NULL.
 *   The strings are constant and live as long as the library is loaded; the
 *   caller must not free or change them.
 *   Returns 0 for every code of the library's message table (0 to 30 in
 *   Velmor, 0 to 69 in Tarsk). A table code that names no condition (Tarsk's
 *   7, 9, 19, 22 to 31) gives the name "" and the text "undefined status
 *   code". A code outside the table gives the library's bad-parameter status
 *   (1 in Velmor, 33 in Tarsk), with both pointers set to "".
 *   Needs no session and may be called at any time, from any thread.
 */
KDX_API StatusCode KDX_CALL KDX_DescribeStatus(uint32_t code, const char** name, const char** text);

#endif

KDX_EXTERN_C_END

#endif /* KDX_STATUS_H */
