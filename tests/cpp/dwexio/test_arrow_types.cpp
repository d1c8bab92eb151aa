// Arrow C format strings named as pyarrow names them, and which of them
// pyarrow gives a text form: a message never shows a raw format string.
#include "dwexio/arrow/types.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using dwexio::arrow::has_text_form;
using dwexio::arrow::type_name;

/// A schema node of `format` named `name` over `children`, which outlive it.
ArrowSchema node(const char* format, const char* name = "",
                 std::vector<ArrowSchema*>* children = nullptr) {
    ArrowSchema schema{};
    schema.format = format;
    schema.name = name;
    if (children != nullptr) {
        schema.n_children = static_cast<std::int64_t>(children->size());
        schema.children = children->data();
    }
    return schema;
}

struct Plain {
    const char* format;
    const char* name;
    bool has_text;
};

TEST(ArrowTypes, PlainTypesAreNamedAsPyarrowPrintsThem) {
    const Plain cases[] = {
        {"n", "null", true},
        {"b", "bool", true},
        {"c", "int8", true},
        {"L", "uint64", true},
        {"e", "halffloat", true},
        {"g", "double", true},
        {"u", "string", false},
        {"vu", "string_view", false},
        {"z", "binary", false},
        {"w:16", "fixed_size_binary[16]", false},
        {"d:3,2", "decimal128(3, 2)", true},
        {"d:40,1,256", "decimal256(40, 1)", true},
        {"tdD", "date32[day]", true},
        {"tdm", "date64[ms]", true},
        {"ttu", "time64[us]", true},
        {"tss:", "timestamp[s]", true},
        {"tsu:UTC", "timestamp[us, tz=UTC]", true},
        {"tsn:Europe/Oslo", "timestamp[ns, tz=Europe/Oslo]", true},
        {"tDm", "duration[ms]", true},
        {"tin", "month_day_nano_interval", false},
        {"?", "an unknown type", false},
    };
    for (const Plain& c : cases) {
        const ArrowSchema schema = node(c.format);
        EXPECT_EQ(type_name(schema), c.name) << c.format;
        EXPECT_EQ(has_text_form(schema), c.has_text) << c.format;
    }
}

TEST(ArrowTypes, NestedTypesNameTheirChildren) {
    ArrowSchema item = node("u", "item");
    ArrowSchema count = node("l", "n");
    std::vector<ArrowSchema*> one{&item};
    std::vector<ArrowSchema*> two{&item, &count};
    ArrowSchema key = node("u", "key");
    ArrowSchema value = node("l", "value");
    std::vector<ArrowSchema*> pair{&key, &value};
    ArrowSchema entries = node("+s", "entries", &pair);
    std::vector<ArrowSchema*> map_children{&entries};

    EXPECT_EQ(type_name(node("+l", "", &one)), "list<item: string>");
    EXPECT_EQ(type_name(node("+L", "", &one)), "large_list<item: string>");
    EXPECT_EQ(type_name(node("+w:3", "", &one)), "fixed_size_list<item: string>[3]");
    EXPECT_EQ(type_name(node("+s", "", &two)), "struct<item: string, n: int64>");
    EXPECT_EQ(type_name(node("+m", "", &map_children)), "map<string, int64>");
    EXPECT_FALSE(has_text_form(node("+l", "", &one)));
}

TEST(ArrowTypes, DictionariesNameValuesAndIndices) {
    ArrowSchema values = node("l");
    ArrowSchema indices = node("i");
    indices.dictionary = &values;
    EXPECT_EQ(type_name(indices), "dictionary<values=int64, indices=int32, ordered=0>");
    EXPECT_TRUE(has_text_form(indices));
    ArrowSchema strings = node("u");
    indices.dictionary = &strings;
    indices.flags = ARROW_FLAG_DICTIONARY_ORDERED;
    EXPECT_EQ(type_name(indices), "dictionary<values=string, indices=int32, ordered=1>");
    EXPECT_FALSE(has_text_form(indices));
}

} // namespace
