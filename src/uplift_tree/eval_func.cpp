#include "uplift_tree/eval_func.h"

#include "core/error.h"
#include "core/error_msg.h"

namespace corvane {

EvalFunc parse_eval_func(std::string_view name) {
  if (name == "ED") return EvalFunc::Euclidean;
  if (name == "KL") return EvalFunc::KL;
  if (name == "CHI") return EvalFunc::Chi;
  fail(msg::kBadEvalFunc);
}

std::string_view eval_func_name(EvalFunc f) {
  switch (f) {
    case EvalFunc::Euclidean:
      return "Euclidean";
    case EvalFunc::KL:
      return "KL";
    case EvalFunc::Chi:
      return "Chi";
  }
  return "Euclidean";
}

}  // namespace corvane
