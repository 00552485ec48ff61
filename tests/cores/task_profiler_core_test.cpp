// Checks of the workload scorer's keyword automata alone: the set of entries found in texts of
// 1-, 2- and 4-byte code units (keyword pieces, mixed case, the two non-ASCII characters whose
// lower case holds ASCII, other non-ASCII characters, texts long enough to be walked in four
// lanes with keywords across the lane cuts) against a plain substring search of the lowered
// text, and the list counts the scores are made from.
#include "task_profiler_core.hpp"
#include "check.hpp"

#include <cstdint>
#include <random>
#include <string>
#include <vector>

using namespace quarvel::task_profiler;

namespace {

// The lowered text as the keywords see it: ASCII lower-cased, U+0130 as "i" and a separator,
// U+212A as "k", every other non-ASCII character a separator.
std::string lowered(const std::vector<std::uint32_t>& text) {
    std::string s;
    for (std::uint32_t c : text) {
        if (c < 128) {
            s += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        } else if (c == 0x130) {
            s += "i\x01";
        } else if (c == 0x212A) {
            s += 'k';
        } else {
            s += '\x01';
        }
    }
    return s;
}

template <class Unit, class Auto, class Set>
void compare(const Auto& automaton, const Set& set, const std::vector<std::uint32_t>& text) {
    const std::vector<Unit> units(text.begin(), text.end());
    typename Auto::Mask seen{};
    automaton.scan(units.data(), units.size(), seen);
    const std::string low = lowered(text);
    for (std::size_t e = 0; e < set.entries.size(); ++e) {
        const bool want = low.find(set.entries[e]) != std::string::npos;
        const bool got = (seen[e / 64] >> (e % 64)) & 1u;
        CHECK(got == want);
        if (got != want)
            std::fprintf(stderr, "  entry \"%.*s\", text of %zu units\n", static_cast<int>(set.entries[e].size()),
                         set.entries[e].data(), text.size());
    }
}

template <class Auto, class Set>
void random_texts(const Auto& automaton, const Set& set, unsigned salt) {
    std::mt19937 rng(salt);
    const std::uint32_t odd[] = {0x130, 0x212A, 0xC0, 0xE9, 0x3A3, 0x20AC, 0x1F600, 0x131, 0x17F};
    for (int round = 0; round < 400; ++round) {
        std::vector<std::uint32_t> text;
        const std::size_t target = round % 4 == 0 ? 200 + rng() % 3000 : rng() % 120;
        while (text.size() < target) {
            const unsigned pick = rng() % 10;
            if (pick < 5) {  // a keyword, whole or cut short, in random case
                std::string_view w = set.entries[rng() % set.entries.size()];
                std::size_t len = rng() % 4 == 0 ? rng() % (w.size() + 1) : w.size();
                for (std::size_t i = 0; i < len; ++i) {
                    std::uint32_t c = static_cast<unsigned char>(w[i]);
                    if (c >= 'a' && c <= 'z' && rng() % 3 == 0) c -= 32;
                    if (c == 'k' && rng() % 5 == 0) c = 0x212A;
                    if (c == 'i' && rng() % 5 == 0) c = 0x130;
                    text.push_back(c);
                }
            } else if (pick < 8) {
                text.push_back(32 + rng() % 95);
            } else {
                text.push_back(odd[rng() % std::size(odd)]);
            }
        }
        compare<std::uint32_t>(automaton, set, text);
        bool fits16 = true, fits8 = true;
        for (std::uint32_t c : text) {
            fits16 = fits16 && c < 0x10000;
            fits8 = fits8 && c < 0x100;
        }
        if (fits16) compare<std::uint16_t>(automaton, set, text);
        if (fits8) compare<std::uint8_t>(automaton, set, text);
    }
    // Every keyword right across each lane cut of a long text.
    for (std::size_t e = 0; e < set.entries.size(); ++e) {
        const std::string_view w = set.entries[e];
        std::vector<std::uint32_t> text(4 * (automaton.longest + 16) + 37, ' ');
        const std::size_t share = text.size() / 4;
        for (std::size_t cut = share; cut < text.size(); cut += share) {
            if (cut + w.size() > text.size()) break;
            const std::size_t at = cut - w.size() / 2;
            for (std::size_t i = 0; i < w.size(); ++i) text[at + i] = static_cast<unsigned char>(w[i]);
        }
        compare<std::uint8_t>(automaton, set, text);
    }
}

void test_counts() {
    CHECK(std::size(kNumpyKeywords) == 25 && std::size(kPandasKeywords) == 18 && std::size(kSklearnKeywords) == 18);
    decltype(kFrameworkAutomaton)::Mask all{};
    for (auto& w : all) w = ~std::uint64_t{0};
    const FrameworkScores full = framework_scores(all);
    CHECK(full.numpy == 1.0 && full.pandas == 1.0 && full.sklearn == 1.0);
    const FrameworkScores none = framework_scores({});
    CHECK(none.numpy == 0.0 && none.pandas == 0.0 && none.sklearn == 0.0);
    // The name adds only the GPU-operation and embarrassingly-parallel lists.
    decltype(kIndicatorAutomaton)::Mask everything{};
    for (auto& w : everything) w = ~std::uint64_t{0};
    const auto from_name = indicator_counts({}, everything);
    for (std::size_t k = 0; k < kIndicatorLists; ++k) {
        const int size = static_cast<int>(kIndicatorSet.starts[k + 1] - kIndicatorSet.starts[k]);
        CHECK(from_name[k] == ((k == kListGpuOp || k == kListEmbarrassing) ? size : 0));
    }
    const auto from_text = indicator_counts(everything, {});
    for (std::size_t k = 0; k < kIndicatorLists; ++k)
        CHECK(from_text[k] == static_cast<int>(kIndicatorSet.starts[k + 1] - kIndicatorSet.starts[k]));
}

}  // namespace

int main() {
    random_texts(kFrameworkAutomaton, kFrameworkSet, 11);
    random_texts(kIndicatorAutomaton, kIndicatorSet, 12);
    test_counts();
    return core_check::finish();
}
