#pragma once

namespace lumbra {

// Magnetic coercivity of the stripe.
enum TCoercitivity : int {
  loco = 0,
  hico = 1,
};

}  // namespace lumbra
