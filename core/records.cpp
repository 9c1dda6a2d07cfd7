#include "core/records.hpp"

namespace kestrune {

std::string_view to_string(NotSolvedReason reason) {
  switch (reason) {
    case NotSolvedReason::TooFewStars:
      return "too_few_stars";
    case NotSolvedReason::Exhausted:
      return "exhausted";
    case NotSolvedReason::Timeout:
      return "timeout";
  }
  return "exhausted";
}

}  // namespace kestrune
