// The module side of the Lanvara unlock: the 3-byte answer a host must return in its
// FAS_UNIT_INQUIRY for the 6-byte challenge of the FAS_UNIT_UNLOCK answer.
#pragma once

#include <array>
#include <cstdint>

namespace qdemu {

using Challenge = std::array<std::uint8_t, 6>;
using UnlockAnswer = std::array<std::uint8_t, 3>;

UnlockAnswer unlock_answer(Challenge challenge);

} // namespace qdemu
