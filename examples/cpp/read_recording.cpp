// Reads a recording made by `korvelquor record` into the batches a live capture gives, a block
// at a time, and prints each joint group's mean position over the file.
//   read_recording run.mcap
#include <cstdio>
#include <map>

#include <korvelquor.hpp>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: read_recording FILE.mcap\n");
    return 2;
  }
  try {
    korvel::quor::RecordingReader reader(argv[1]);
    std::map<korvel::quor::JointGroup, std::pair<double, std::size_t>> sums;
    korvel::quor::RecordedBlock block;
    std::size_t basic = 0, extra = 0;
    while (reader.Next(block)) {
      basic += block.basic.rows;
      extra += block.extra.rows;
      for (const auto& [group, columns] : block.basic.groups) {
        for (double q : columns.q) {
          sums[group].first += q;
          ++sums[group].second;
        }
      }
    }
    std::printf("%s: %zu basic and %zu extra samples of %s\n", argv[1], basic, extra,
                reader.serial().c_str());
    for (const auto& [group, sum] : sums) {
      std::printf("  group %d: mean q %.6f\n", static_cast<int>(group),
                  sum.second ? sum.first / sum.second : 0.0);
    }
    const korvel::quor::RecordingEnd end = reader.end();
    if (!end.clean()) std::fprintf(stderr, "%s\n", end.Describe(argv[1]).c_str());
  } catch (const korvel::quor::RecordingError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
