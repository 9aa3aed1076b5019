#ifndef SEALCORE_S_BOX_H
#define SEALCORE_S_BOX_H

namespace util_ko {

// S_Box<Inverse>: holder of the FIPS-197 substitution tables. S_Box<false>::s_sbox is the
// S-box (63 7C 77 7B ...), S_Box<true>::s_sbox the inverse S-box (52 09 6A D5 ...). Both are
// constant data in read-only storage; nothing computes them at start-up.
//
// Lookups index these tables with secret bytes, so every cipher built on them leaks timing
// through the data cache: it is not constant-time.
template <bool Inverse>
class S_Box {
  public:
    static const unsigned char s_sbox[256];
};

template <>
const unsigned char S_Box<false>::s_sbox[256];
template <>
const unsigned char S_Box<true>::s_sbox[256];

}  // namespace util_ko

#endif
