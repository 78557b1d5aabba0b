// The C++ reader on files made here: bad files end it with RecordingError naming the file and
// what failed, a file cut short reads up to its last complete sample. The good file comes
// from the Python writer (tests/recordings/conftest.py), as `korvelquor record` writes it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "recording/recording_reader.hpp"

namespace {

namespace fs = std::filesystem;
using korvel::quor::RecordedBlock;
using korvel::quor::RecordingError;
using korvel::quor::RecordingReader;

fs::path Folder() {
  static const fs::path folder = [] {
    fs::path p = fs::temp_directory_path() / ("kq_reader_test_" + std::to_string(::getpid()));
    fs::create_directories(p);
    return p;
  }();
  return folder;
}

// Writes `path` with the Python writer; `layout` is a Python expression for the layout
// metadata (None: no layout record).
void PythonRecording(const fs::path& path, const std::string& layout) {
  const std::string script =
      "import sys; sys.path.insert(0, '" KQ_SOURCE_DIR
      "/tests/recordings'); "
      "from conftest import *; import json; "
      "meta = {ff.META_RECORDING: {'format_version': ff.FORMAT_VERSION, "
      "'protocol_version': ff.PROTOCOL_VERSION, 'serial': SERIAL}}; "
      "layout = " +
      layout +
      "; "
      "meta.update({ff.META_LAYOUT: layout} if layout is not None else {}); "
      "write_recording(sys.argv[1], [(basic(k, (1, k)), 1000 + k, (1, k)) for k in range(50)], "
      "[(extra(k), 1500 + k, (1, k)) for k in range(50)], metadata=meta)";
  const std::string command =
      std::string(KQ_VENV_PYTHON) + " -c \"" + script + "\" " + path.string();
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

const std::string kGood = "ff.layout_to_metadata(LAYOUT)";

void Bytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Error(const fs::path& path) {
  try {
    RecordingReader reader(path.string());
    RecordedBlock block;
    while (reader.Next(block)) {
    }
  } catch (const RecordingError& e) {
    return e.what();
  }
  return "no error";
}

TEST(RecordingReader, BadFilesEndWithOneErrorNamingTheFileAndWhatFailed) {
  // Faults: a reader that crashes, hangs or throws anything but RecordingError on a file
  // that is not a usable recording; a layout read unchecked.
  const std::string random = [] {
    std::mt19937 gen(7);
    std::string s(4096, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    return s;
  }();
  const std::string other_profile = std::string("\x89MCAP0\r\n", 8) +
                                    std::string("\x01\x0c\0\0\0\0\0\0\0", 9) +
                                    std::string("\x04\0\0\0ros1\0\0\0\0", 12);
  const struct {
    const char* name;
    std::function<void(const fs::path&)> make;
    const char* expected;
  } cases[] = {
      {"random bytes", [&](const fs::path& p) { Bytes(p, random); }, "not an MCAP file"},
      {"another profile", [&](const fs::path& p) { Bytes(p, other_profile); },
       "not of profile 'korvelquor'"},
      {"cut in its header",
       [](const fs::path& p) {
         PythonRecording(p, kGood);
         fs::resize_file(p, 40);
       },
       "the file ends before its MCAP header"},
      {"absurd DoF",
       [](const fs::path& p) {
         PythonRecording(p,
                         "dict(ff.layout_to_metadata(LAYOUT), "
                         "dofs=json.dumps({'0': 6148914691236517206, '3': 7}))");
       },
       "the DoF of joint group 0 must be a whole number"},
      {"group beyond the joint count",
       [](const fs::path& p) {
         PythonRecording(p,
                         "dict(ff.layout_to_metadata(LAYOUT), "
                         "start_ids=json.dumps({'0': 0, '3': 3}))");
       },
       "beyond the joint count 7"},
      {"layout not JSON",
       [](const fs::path& p) {
         PythonRecording(p, "dict(ff.layout_to_metadata(LAYOUT), dofs='{0: 7')");
       },
       "'dofs' is not a JSON object"},
      {"no layout", [](const fs::path& p) { PythonRecording(p, "None"); },
       "holds no joint-group layout"},
  };
  for (const auto& c : cases) {
    const fs::path path = Folder() / "bad.mcap";
    c.make(path);
    const std::string error = Error(path);
    EXPECT_EQ(error.rfind(path.string() + ": ", 0), 0u) << c.name << ": " << error;
    EXPECT_NE(error.find(c.expected), std::string::npos) << c.name << ": " << error;
  }
}

TEST(RecordingReader, AFileCutShortReadsUpToItsLastCompleteSample) {
  // Faults: a cut file refused, or read as complete; samples lost before the cut.
  const fs::path path = Folder() / "cut.mcap";
  PythonRecording(path, kGood);
  const auto whole = fs::file_size(path);
  for (const bool cut : {false, true}) {
    if (cut) fs::resize_file(path, whole - 40);  // inside the closing records
    RecordingReader reader(path.string());
    RecordedBlock block;
    std::size_t basic = 0, extra = 0;
    while (reader.Next(block)) {
      basic += block.basic.rows;
      extra += block.extra.rows;
    }
    EXPECT_EQ(basic, 50u);
    EXPECT_EQ(extra, 50u);
    EXPECT_EQ(reader.end().complete, !cut) << reader.end().Describe(path.string());
    EXPECT_EQ(reader.metadata().count("korvelquor.end"), 1u);
    if (cut) {
      EXPECT_NE(reader.end().Describe("f").find("f: cut short (the file ends inside a record"),
                std::string::npos)
          << reader.end().Describe("f");
    }
  }
}

TEST(RecordingReader, EveryBitFlippedAtTheStartAndAroundTheFileEndsCleanly) {
  // Faults: a flipped bit that makes the reader crash, hang, panic, allocate what the file
  // cannot hold, or end in anything but RecordingError or a clean end; a damaged chunk's
  // samples handed over as more samples than the file holds.
  const fs::path path = Folder() / "flips.mcap";
  PythonRecording(path, kGood);
  std::string bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i < std::min<std::size_t>(bytes.size(), 512); ++i) at.push_back(i);
  std::mt19937 gen(11);
  for (int i = 0; i < 600; ++i) at.push_back(gen() % bytes.size());
  std::size_t refused = 0;
  for (const std::size_t i : at) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string damaged = bytes;
      damaged[i] = static_cast<char>(damaged[i] ^ (1 << bit));
      Bytes(path, damaged);
      try {
        RecordingReader reader(path.string(), {16});
        RecordedBlock block;
        std::size_t rows = 0;
        while (reader.Next(block)) rows += block.basic.rows;
        ASSERT_LE(rows, 50u) << "byte " << i << " bit " << bit;
      } catch (const RecordingError& e) {
        // A panic inside the reader is contained, but it is a fault all the same.
        ASSERT_EQ(std::string(e.what()).find("a panic"), std::string::npos)
            << "byte " << i << " bit " << bit << ": " << e.what();
        ++refused;
      }
    }
  }
  // The header and the facts lie in the first kilobyte: most flips there are refused.
  EXPECT_GT(refused, 0u);
  fs::remove_all(Folder());
}

}  // namespace
