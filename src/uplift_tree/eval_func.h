// The divergence used by every score of a tree.
#pragma once

#include <cstdint>
#include <string_view>

namespace corvane {

enum class EvalFunc : std::uint8_t { Euclidean = 0, KL = 1, Chi = 2 };

// "ED", "KL" or "CHI", exactly; anything else stops with "bad eval func".
EvalFunc parse_eval_func(std::string_view name);

// Name of the variant as model files write it: "Euclidean", "KL", "Chi".
std::string_view eval_func_name(EvalFunc f);

}  // namespace corvane
