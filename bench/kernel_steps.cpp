// kernel_steps: runs one kernel of the codec, or its plain twin, a given
// number of times over one fixed run of text, and nothing else. Counted
// under an emulator (bench/kernel_insns.py) at two repetition counts, the
// difference is the instructions of that many calls, start-up excluded.
//
//   kernel_steps NAME vector|plain REPETITIONS
//   kernel_steps --list
#include "core/narrowing.hpp"
#include "core/units.hpp"
#include "core/utf16_count.hpp"
#include "core/utf8.hpp"
#include "core/widen.hpp"
#include "core/widest.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

using namespace dwex;

/// Units in every run: long enough that a call's fixed cost weighs little.
constexpr std::size_t units = 4096;

/// Keeps a result, so that no call is left out or merged with the next.
template <typename T> void keep(const T& value) { asm volatile("" : : "r"(&value) : "memory"); }

/// ASCII text, as most leaves are.
template <typename U> std::vector<U> ascii_text() {
    std::vector<U> text(units);
    for (std::size_t k = 0; k < units; ++k) {
        text[k] = static_cast<U>('a' + k % 26);
    }
    return text;
}

/// Latin-1 text (none of it ASCII-only for long), the widest a 1-byte copy takes.
template <typename U> std::vector<U> latin1_text() {
    std::vector<U> text(units);
    for (std::size_t k = 0; k < units; ++k) {
        text[k] = static_cast<U>(k % 3 == 0 ? 0xE9 : 'a' + k % 26);
    }
    return text;
}

/// BMP text with an astral code point every 16th.
std::vector<std::uint32_t> bmp_text() {
    std::vector<std::uint32_t> text(units);
    for (std::size_t k = 0; k < units; ++k) {
        text[k] = k % 16 == 15 ? 0x1F600u : 0x4E00u + static_cast<std::uint32_t>(k % 512);
    }
    return text;
}

/// UTF-8 of mixed Latin, Greek and CJK text: one-, two- and three-byte
/// sequences, `units` bytes or a few less.
std::vector<std::uint8_t> utf8_text() {
    const std::string_view pieces[] = {"word ", "\xce\xbb\xcf\x8c\xce\xb3\xce\xbf\xcf\x82 ",
                                       "\xe6\x96\x87\xe5\xad\x97 "};
    std::vector<std::uint8_t> text;
    for (std::size_t k = 0;; ++k) {
        const std::string_view piece = pieces[k % 3];
        if (text.size() + piece.size() > units) {
            return text;
        }
        text.insert(text.end(), piece.begin(), piece.end());
    }
}

struct Kernel {
    const char* name;
    void (*vector)(int repetitions);
    void (*plain)(int repetitions);
};

template <typename U> void widest(int repetitions, bool vector) {
    const std::vector<U> text = sizeof(U) == 1 ? ascii_text<U>() : latin1_text<U>();
    for (int r = 0; r < repetitions; ++r) {
        keep(vector ? simd::widest_class(text.data(), units)
                    : simd::widest_class_plain(text.data(), units));
    }
}

/// A kernel that copies the units of `text` into as many units of `Out`.
template <typename Out, typename In, typename Fast, typename Plain>
void copying(int repetitions, bool vector, const std::vector<In>& text, Fast fast, Plain plain) {
    std::vector<Out> to(units);
    for (int r = 0; r < repetitions; ++r) {
        keep(vector ? fast(text.data(), units, to.data()) : plain(text.data(), units, to.data()));
    }
}

template <typename Out, typename In> void narrow(int repetitions, bool vector) {
    copying<Out>(
        repetitions, vector, latin1_text<In>(),
        [](const In* f, std::size_t n, Out* t) { return simd::narrow_copy(f, n, t); },
        [](const In* f, std::size_t n, Out* t) { return codec::copy_units(f, n, t); });
}

template <typename In> void ascii_prefix(int repetitions, bool vector) {
    copying<std::uint8_t>(
        repetitions, vector, ascii_text<In>(),
        [](const In* f, std::size_t n, std::uint8_t* t) {
            return simd::copy_ascii_prefix(f, n, t);
        },
        [](const In* f, std::size_t n, std::uint8_t* t) {
            return simd::copy_ascii_prefix_plain(f, n, t);
        });
}

template <typename Out, typename In> void widen(int repetitions, bool vector) {
    copying<Out>(
        repetitions, vector, latin1_text<In>(),
        [](const In* f, std::size_t n, Out* t) { return simd::widen(f, n, t); },
        [](const In* f, std::size_t n, Out* t) { return simd::widen_scalar(f, n, t); });
}

void count16(int repetitions, bool vector) {
    const std::vector<std::uint32_t> text = bmp_text();
    const auto length = static_cast<std::int64_t>(units);
    for (int r = 0; r < repetitions; ++r) {
        keep(vector ? simd::count_utf16(text.data(), 0, length, 2 * length)
                    : simd::count_utf16_plain(text.data(), 0, length, 2 * length));
    }
}

void utf8_units(int repetitions, bool vector) {
    const std::vector<std::uint8_t> text = utf8_text();
    for (int r = 0; r < repetitions; ++r) {
        keep(vector ? utf8::units(text.data(), text.size())
                    : utf8::units_plain(text.data(), text.size()));
    }
}

void utf8_walk(int repetitions, bool vector) {
    const std::vector<std::uint8_t> text = utf8_text();
    const std::uint8_t* end = text.data() + text.size();
    const std::int64_t target = utf8::units_plain(text.data(), text.size());
    for (int r = 0; r < repetitions; ++r) {
        keep(vector ? utf8::walk(text.data(), end, target)
                    : utf8::walk_plain(text.data(), end, target));
    }
}

template <auto Run> constexpr Kernel kernel(const char* name) {
    return Kernel{name, [](int n) { Run(n, true); }, [](int n) { Run(n, false); }};
}

constexpr Kernel kernels[] = {
    kernel<widest<std::uint8_t>>("widest_class 1-byte"),
    kernel<widest<std::uint16_t>>("widest_class 2-byte"),
    kernel<ascii_prefix<std::uint8_t>>("copy_ascii_prefix 1-byte"),
    kernel<ascii_prefix<std::uint16_t>>("copy_ascii_prefix 2-byte"),
    kernel<narrow<std::uint8_t, std::uint16_t>>("narrow_copy 2 to 1"),
    kernel<narrow<std::uint16_t, std::uint32_t>>("narrow_copy 4 to 2"),
    kernel<narrow<std::uint8_t, std::uint32_t>>("narrow_copy 4 to 1"),
    kernel<widen<std::uint16_t, std::uint8_t>>("widen 1 to 2"),
    kernel<widen<std::uint32_t, std::uint8_t>>("widen 1 to 4"),
    kernel<widen<std::uint32_t, std::uint16_t>>("widen 2 to 4"),
    kernel<count16>("count_utf16"),
    kernel<utf8_units>("utf8 units"),
    kernel<utf8_walk>("utf8 walk"),
};

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const Kernel& k : kernels) {
            std::printf("%s\n", k.name);
        }
        std::printf("units %zu\n", units);
        return 0;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: kernel_steps NAME vector|plain REPETITIONS | --list\n");
        return 2;
    }
    const int repetitions = std::atoi(argv[3]);
    for (const Kernel& k : kernels) {
        if (std::strcmp(k.name, argv[1]) == 0) {
            (std::strcmp(argv[2], "plain") == 0 ? k.plain : k.vector)(repetitions);
            return 0;
        }
    }
    std::fprintf(stderr, "kernel_steps: no kernel named %s\n", argv[1]);
    return 2;
}
