#include "plotter/plot_scale.h"

#include <stdexcept>

PlotScale PlotScale::WithShift(uint32_t shift) {
  if (shift > kMaxShift) throw std::runtime_error("5E0B7A14");
  return {shift, kGroupsPerBucket >> shift};
}
