// The uniform deviate of the permutations.
#include "core/fp_contract.hpp"
#include "core/generator.hpp"

namespace morvenak {

float Generator::deviate(int flag) {
  if (flag == 1)
    iso_.state = 0;
  else if (flag != 0)
    iso_.state = static_cast<std::uint32_t>(flag);
  const int k = iso_.next();
  return static_cast<float>(k) / 32767.0f;  // IEEE division: k / 32767 correctly rounded to float
}

}  // namespace morvenak
