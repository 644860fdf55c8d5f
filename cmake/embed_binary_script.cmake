# Writes OUTPUT, a C++ source holding the bytes of INPUT as SYMBOL (and SYMBOLSize) in NAMESPACE.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT}.tmp "// Generated from ${INPUT}: do not edit.
#include <cstddef>

namespace ${NAMESPACE} {

extern const unsigned char ${SYMBOL}[];
extern const size_t ${SYMBOL}Size;
alignas(16) const unsigned char ${SYMBOL}[] = {
${bytes}
};
const size_t ${SYMBOL}Size = ${size};

}  // namespace ${NAMESPACE}
")
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
