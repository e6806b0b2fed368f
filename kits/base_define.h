// Byte-string type used by the encoding kits.
#ifndef QEL_KITS_BASE_DEFINE_H
#define QEL_KITS_BASE_DEFINE_H

#include <string>

namespace com {
namespace quor {
namespace kbr {
namespace client {

using u_string = std::basic_string<unsigned char>;

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_KITS_BASE_DEFINE_H
