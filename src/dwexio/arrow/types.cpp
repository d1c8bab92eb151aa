// types.cpp: Arrow C format strings read back into the names pyarrow
// gives their types. The tables follow the C data interface's list of
// formats; a format it does not know is named by its kind of layout.
#include "dwexio/arrow/types.hpp"

#include <cstring>
#include <span>
#include <string_view>

namespace dwexio::arrow {
namespace {

using Named = NamedFormat;

/// The types without parameters besides the strings and the integers
/// (formats.hpp).
constexpr Named plain_types[] = {
    {"n", "null"},
    {"b", "bool"},
    {"e", "halffloat"},
    {"f", "float"},
    {"g", "double"},
    {"z", "binary"},
    {"Z", "large_binary"},
    {"vz", "binary_view"},
    {"tdD", "date32[day]"},
    {"tdm", "date64[ms]"},
    {"tts", "time32[s]"},
    {"ttm", "time32[ms]"},
    {"ttu", "time64[us]"},
    {"ttn", "time64[ns]"},
    {"tDs", "duration[s]"},
    {"tDm", "duration[ms]"},
    {"tDu", "duration[us]"},
    {"tDn", "duration[ns]"},
    {"tiM", "month_interval"},
    {"tiD", "day_time_interval"},
    {"tin", "month_day_nano_interval"},
};

/// The unit a timestamp's format letter stands for.
std::string_view unit_of(char letter) noexcept {
    switch (letter) {
    case 's':
        return "s";
    case 'm':
        return "ms";
    case 'u':
        return "us";
    default:
        return "ns";
    }
}

std::string child_name(const ArrowSchema& child) {
    return std::string(child.name != nullptr ? child.name : "") + ": " + type_name(child);
}

/// "<a: T, b: U>" over the children of a nested type.
std::string children_of(const ArrowSchema& schema) {
    std::string text = "<";
    for (std::int64_t k = 0; k < schema.n_children; ++k) {
        text += (k != 0 ? ", " : "") + child_name(*schema.children[k]);
    }
    return text + ">";
}

std::string nested_name(std::string_view format, const ArrowSchema& schema) {
    if (format == struct_format) {
        return "struct" + children_of(schema);
    }
    if (format == "+m" && schema.n_children == 1 && schema.children[0]->n_children == 2) {
        const ArrowSchema& entries = *schema.children[0];
        return "map<" + type_name(*entries.children[0]) + ", " + type_name(*entries.children[1]) +
               ">";
    }
    if (format.starts_with("+w:")) {
        return "fixed_size_list" + children_of(schema) + "[" + std::string(format.substr(3)) + "]";
    }
    static constexpr Named lists[] = {{"+l", "list"},
                                      {"+L", "large_list"},
                                      {"+vl", "list_view"},
                                      {"+vL", "large_list_view"},
                                      {"+r", "run_end_encoded"}};
    for (const auto& list : lists) {
        if (format == list.format) {
            return std::string(list.name) + children_of(schema);
        }
    }
    if (format.starts_with("+ud:")) {
        return "dense_union" + children_of(schema);
    }
    if (format.starts_with("+us:")) {
        return "sparse_union" + children_of(schema);
    }
    return "nested";
}

std::string value_type_name(const ArrowSchema& schema) {
    const std::string_view format = schema.format;
    using Table = std::span<const Named>;
    for (const Table table : {Table(plain_types), Table(string_formats), Table(index_formats)}) {
        for (const auto& named : table) {
            if (format == named.format) {
                return std::string(named.name);
            }
        }
    }
    if (format.starts_with("ts") && format.size() >= 4 && format[3] == ':') {
        std::string text = "timestamp[" + std::string(unit_of(format[2]));
        if (format.size() > 4) {
            text += ", tz=" + std::string(format.substr(4));
        }
        return text + "]";
    }
    if (format.starts_with("d:")) {
        // "d:precision,scale" or "d:precision,scale,bits".
        const std::string_view rest = format.substr(2);
        const auto comma = rest.find(',');
        const auto bits_at =
            rest.find(',', comma == std::string_view::npos ? rest.size() : comma + 1);
        const std::string bits =
            bits_at == std::string_view::npos ? "128" : std::string(rest.substr(bits_at + 1));
        const auto scale_end = bits_at == std::string_view::npos ? rest.size() : bits_at;
        if (comma == std::string_view::npos) {
            return "decimal";
        }
        return "decimal" + bits + "(" + std::string(rest.substr(0, comma)) + ", " +
               std::string(rest.substr(comma + 1, scale_end - comma - 1)) + ")";
    }
    if (format.starts_with("w:")) {
        return "fixed_size_binary[" + std::string(format.substr(2)) + "]";
    }
    if (format.starts_with("+")) {
        return nested_name(format, schema);
    }
    return "an unknown type";
}

bool value_has_text_form(const ArrowSchema& schema) noexcept {
    const std::string_view format = schema.format;
    if (format.size() == 1) {
        return std::string_view("nbefg").find(format[0]) != std::string_view::npos ||
               index_type_of(format).has_value();
    }
    return format.starts_with("d:") || format.starts_with("td") || format.starts_with("tt") ||
           format.starts_with("ts") || format.starts_with("tD");
}

} // namespace

std::string type_name(const ArrowSchema& schema) {
    if (schema.dictionary == nullptr) {
        return value_type_name(schema);
    }
    const bool ordered = (schema.flags & ARROW_FLAG_DICTIONARY_ORDERED) != 0;
    return "dictionary<values=" + type_name(*schema.dictionary) +
           ", indices=" + value_type_name(schema) + ", ordered=" + (ordered ? "1" : "0") + ">";
}

bool has_text_form(const ArrowSchema& schema) noexcept {
    return value_has_text_form(schema.dictionary != nullptr ? *schema.dictionary : schema);
}

} // namespace dwexio::arrow
