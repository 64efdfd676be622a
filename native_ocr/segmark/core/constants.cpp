#include "segmark/core/constants.hpp"

namespace tessaryn::segmark {

std::vector<Pattern> standard_patterns() {
  //                      A  B  C  D  E  F  G
  return {
      {0, 0, {1, 1, 1, 1, 1, 1, 0}},
      {1, 0, {0, 1, 1, 0, 0, 0, 0}},
      {2, 0, {1, 1, 0, 1, 1, 0, 1}},
      {3, 0, {1, 1, 1, 1, 0, 0, 1}},
      {4, 0, {0, 1, 1, 0, 0, 1, 1}},
      {5, 0, {1, 0, 1, 1, 0, 1, 1}},
      {6, 0, {1, 0, 1, 1, 1, 1, 1}},
      {7, 0, {1, 1, 1, 0, 0, 0, 0}},
      {8, 0, {1, 1, 1, 1, 1, 1, 1}},
      {9, 0, {1, 1, 1, 1, 0, 1, 1}},
      {9, 1, {1, 1, 1, 0, 0, 1, 1}},
  };
}

}  // namespace tessaryn::segmark
