// strings.hpp: every constant text of the module, made once at import. Names
// (attributes, keys, parameters, local variables) are interned; messages are not.
#ifndef DWEX_STRINGS_HPP
#define DWEX_STRINGS_HPP

#include <array>
#include <cstdint>

namespace dwex {

enum class Text : std::uint8_t {
    // names of module attributes and dict keys
    sys,
    all,
    HEX,
    ErrUnexpectedEndOfInput,
    UTF16_CODEC,
    stringify,
    parse,
    test,
    name,
    byteorder,
    add_note,
    return_,
    str,
    list,
    // local variable names of stringify (after its parameter `lists`)
    lists,
    out,
    v,
    l_str,
    u16_len,
    i,
    v_len,
    kind,
    buf,
    l,
    item,
    // local variable names of parse (after its parameter `dwex`)
    dwex,
    length,
    ls,
    data,
    j,
    n,
    c,
    char_start,
    H_digits,
    target_u16_len,
    u16_accum,
    char_idx,
    u16_idx,
    ch,
    low_surrogate_code,
    underscore,
    // values
    main,
    big,
    hex_digits,
    unexpected_end,
    utf16_le,
    utf16_be,
    empty,
    token_prefix,
    token_infix,
    str_subclass_note,
    count
};

struct StringDef {
    const char* text;
    bool interned;
};

inline constexpr std::array<StringDef, static_cast<std::size_t>(Text::count)> string_defs{{
    {"sys", true},
    {"__all__", true},
    {"HEX", true},
    {"ErrUnexpectedEndOfInput", true},
    {"UTF16_CODEC", true},
    {"stringify", true},
    {"parse", true},
    {"__test__", true},
    {"__name__", true},
    {"byteorder", true},
    {"add_note", true},
    {"return", true},
    {"str", true},
    {"list", true},
    {"lists", true},
    {"out", true},
    {"v", true},
    {"l_str", true},
    {"u16_len", true},
    {"i", true},
    {"v_len", true},
    {"kind", true},
    {"buf", true},
    {"l", true},
    {"item", true},
    {"dwex", true},
    {"length", true},
    {"ls", true},
    {"data", true},
    {"j", true},
    {"n", true},
    {"c", true},
    {"char_start", true},
    {"H_digits", true},
    {"target_u16_len", true},
    {"u16_accum", true},
    {"char_idx", true},
    {"u16_idx", true},
    {"ch", true},
    {"low_surrogate_code", true},
    {"_", true},
    {"__main__", true},
    {"big", false},
    {"0123456789abcdef", false},
    {"Unexpected end of input", false},
    {"utf-16-le", false},
    {"utf-16-be", false},
    {"", false},
    {"Unexpected token '", false},
    {"' at position ", false},
    {"dwex.parse() accepts only an exact str: instances of str subclasses are rejected, "
     "which is stricter than PEP 484 asks.",
     false},
}};

} // namespace dwex

#endif
