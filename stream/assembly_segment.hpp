#pragma once
// The segmenting rule: cut a joint group's run [start, start + dof) out of a full-DoF list,
// widening each float32 exactly to double. On failure the output is left untouched.

#include <array>
#include <cstddef>
#include <vector>

#include <Eigen/Core>

namespace korvel::quor_impl {

// True when [start, start + dof) lies within a list of `size` elements. Written so that it
// cannot wrap around: with a DoF near the top of size_t, start + dof would overflow and pass
// a plain comparison, and the cut would read far outside the list.
inline bool SegmentFits(std::size_t size, unsigned int start, std::size_t dof) {
  return dof <= size && start <= size - dof;
}

inline bool SegmentJointList(const std::vector<float>& full, unsigned int start, std::size_t dof,
                             std::vector<double>& out) {
  if (!SegmentFits(full.size(), start, dof)) {
    return false;
  }
  const auto first = full.begin() + static_cast<std::ptrdiff_t>(start);
  out.assign(first, first + static_cast<std::ptrdiff_t>(dof));
  return true;
}

inline bool SegmentContactList(const std::vector<std::array<float, 3>>& full, unsigned int start,
                               std::size_t dof, std::vector<Eigen::Vector3d>& out) {
  if (!SegmentFits(full.size(), start, dof)) {
    return false;
  }
  out.clear();
  out.reserve(dof);
  for (std::size_t j = start; j < start + dof; ++j) {
    const std::array<float, 3>& v = full[j];
    out.emplace_back(static_cast<double>(v[0]), static_cast<double>(v[1]),
                     static_cast<double>(v[2]));
  }
  return true;
}

}  // namespace korvel::quor_impl
