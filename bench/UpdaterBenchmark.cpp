// The updater's own I/O beside the platform's plainest way of doing the same work:
//
//   Fingerprint       ComputeWordSum over the 1,172,480-byte release executable,
//                     through the seam (a buffered stream, 64 KiB blocks)
//   ReadBaseline      fread of the same file into a 64 KiB buffer
//   ImageChecksums    IsIntact of both images where they are linked (zlib's
//                     CRC-32 of 1,296,150 bytes), as every run that asks does
//   ImageReadBaseline a plain read of the same bytes: each 64 KiB block copied
//                     into a buffer on the stack
//   WriteImages       WriteImage of both images through the seam (temporary file,
//                     flush to disk, replace)
//   WriteBaseline     fwrite of the same bytes over the two files
//   WriteBaselineSafe fwrite, fflush and fsync to a temporary file, then rename:
//                     the same durability as WriteImages, done plainly
//
// Files live in ZEMLO_BENCH_DIR (default: /dev/shm, else the temporary folder),
// so reads come from the page cache and the figures show the code, not a disk.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "FileReplacement.h"
#include "VersionFingerprint.h"

namespace {

std::string Folder() {
  const char* chosen = getenv("ZEMLO_BENCH_DIR");
  std::string base = chosen ? chosen : (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
  return base + "/zemlo-bench-" + std::to_string(getpid());
}

const std::string& Path(const char* name) {
  static std::map<std::string, std::string> paths;
  auto found = paths.find(name);
  if (found == paths.end()) {
    found = paths.emplace(name, Folder() + "/" + name).first;
  }
  return found->second;
}

void WriteWhole(const std::string& path, const unsigned char* bytes, size_t size) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr || fwrite(bytes, 1, size, file) != size || fclose(file) != 0) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    exit(1);
  }
}

void Fingerprint(benchmark::State& state) {
  for (auto _ : state) {
    FILE* stream = OsFileOpen(Path("ZEMLO.exe").c_str(), "rb");
    benchmark::DoNotOptimize(ComputeWordSum(stream));
    OsFileClose(stream);
  }
  state.SetBytesProcessed(state.iterations() * ExeImageSize);
}

void ReadBaseline(benchmark::State& state) {
  std::vector<char> buffer(64 * 1024);
  for (auto _ : state) {
    FILE* file = fopen(Path("ZEMLO.exe").c_str(), "rb");
    while (fread(buffer.data(), 1, buffer.size(), file) == buffer.size()) {
      benchmark::DoNotOptimize(buffer.data());
    }
    fclose(file);
  }
  state.SetBytesProcessed(state.iterations() * ExeImageSize);
}

void ImageChecksums(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(IsIntact(ExeRelease) && IsIntact(ScriptsRelease));
  }
  state.SetBytesProcessed(state.iterations() * (ExeImageSize + ScriptsImageSize));
}

void ImageReadBaseline(benchmark::State& state) {
  unsigned char block[64 * 1024];
  for (auto _ : state) {
    for (const ReleaseImage* image : {&ExeRelease, &ScriptsRelease}) {
      for (int32_t at = 0; at < image->size; at += static_cast<int32_t>(sizeof block)) {
        const int32_t left = image->size - at;
        memcpy(
            block, image->bytes + at,
            left < static_cast<int32_t>(sizeof block) ? static_cast<size_t>(left) : sizeof block);
        benchmark::DoNotOptimize(block);
        benchmark::ClobberMemory();
      }
    }
  }
  state.SetBytesProcessed(state.iterations() * (ExeImageSize + ScriptsImageSize));
}

void WriteImages(benchmark::State& state) {
  for (auto _ : state) {
    int patienceMs = 0;  // nothing else holds the files: no refusal to wait out
    if (!WriteImage(Path("Scripts.zmdata").c_str(), ScriptsImage, ScriptsImageSize, &patienceMs) ||
        !WriteImage(Path("ZEMLO.exe").c_str(), ExeImage, ExeImageSize, &patienceMs)) {
      state.SkipWithError("WriteImage failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * (ExeImageSize + ScriptsImageSize));
}

void WriteBaseline(benchmark::State& state) {
  for (auto _ : state) {
    WriteWhole(Path("Scripts.zmdata"), ScriptsImage, ScriptsImageSize);
    WriteWhole(Path("ZEMLO.exe"), ExeImage, ExeImageSize);
  }
  state.SetBytesProcessed(state.iterations() * (ExeImageSize + ScriptsImageSize));
}

void WriteSafely(const std::string& path, const unsigned char* bytes, size_t size) {
  std::string temporary = path + ".tmp";
  FILE* file = fopen(temporary.c_str(), "wb");
  if (file == nullptr || fwrite(bytes, 1, size, file) != size || fflush(file) != 0 ||
      fsync(fileno(file)) != 0 || fclose(file) != 0 || rename(temporary.c_str(), path.c_str())) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    exit(1);
  }
}

void WriteBaselineSafe(benchmark::State& state) {
  for (auto _ : state) {
    WriteSafely(Path("Scripts.zmdata"), ScriptsImage, ScriptsImageSize);
    WriteSafely(Path("ZEMLO.exe"), ExeImage, ExeImageSize);
  }
  state.SetBytesProcessed(state.iterations() * (ExeImageSize + ScriptsImageSize));
}

BENCHMARK(Fingerprint)->Unit(benchmark::kMicrosecond);
BENCHMARK(ReadBaseline)->Unit(benchmark::kMicrosecond);
BENCHMARK(ImageChecksums)->Unit(benchmark::kMicrosecond);
BENCHMARK(ImageReadBaseline)->Unit(benchmark::kMicrosecond);
BENCHMARK(WriteImages)->Unit(benchmark::kMicrosecond);
BENCHMARK(WriteBaseline)->Unit(benchmark::kMicrosecond);
BENCHMARK(WriteBaselineSafe)->Unit(benchmark::kMicrosecond);

// Remembers each benchmark's time per iteration, to print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      // One figure a benchmark: its median over repetitions, else its one run.
      bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      bool single = run.run_type == Run::RT_Iteration && run.iterations > 0 &&
                    medians_.count(run.run_name.function_name) == 0;
      if (median || single) {
        times_[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
      if (median) {
        medians_.insert(run.run_name.function_name);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatio(const char* what, const char* ours, const char* baseline, double target) const {
    auto a = times_.find(ours);
    auto b = times_.find(baseline);
    if (a == times_.end() || b == times_.end() || b->second <= 0) {
      return;
    }
    double ratio = a->second / b->second;
    printf("%-44s %6.2fx  (target %.1fx: %s)\n", what, ratio, target,
           ratio <= target ? "met" : "missed");
  }

  // A target in time: the time, and beside it the ratio to the baseline.
  void PrintTime(const char* what, const char* ours, const char* baseline,
                 double targetMicroseconds) const {
    auto a = times_.find(ours);
    auto b = times_.find(baseline);
    if (a == times_.end() || b == times_.end() || b->second <= 0) {
      return;
    }
    printf("%-44s %6.0f us, %.2fx  (target %.0f us: %s)\n", what, a->second, a->second / b->second,
           targetMicroseconds, a->second <= targetMicroseconds ? "met" : "missed");
  }

 private:
  std::map<std::string, double> times_;
  std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::string folder = Folder();
  std::string make = "mkdir -p '" + folder + "'";
  if (system(make.c_str()) != 0) {
    return 1;
  }
  WriteWhole(Path("ZEMLO.exe"), ExeImage, ExeImageSize);
  WriteWhole(Path("Scripts.zmdata"), ScriptsImage, ScriptsImageSize);
  printf("Files in %s\n", folder.c_str());

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("\n");
  reporter.PrintRatio("Fingerprint / ReadBaseline", "Fingerprint", "ReadBaseline", 2.0);
  reporter.PrintTime("ImageChecksums / ImageReadBaseline", "ImageChecksums", "ImageReadBaseline",
                     2000);
  reporter.PrintRatio("WriteImages / WriteBaselineSafe", "WriteImages", "WriteBaselineSafe", 1.2);

  std::string remove = "rm -rf '" + folder + "'";
  return system(remove.c_str()) == 0 ? 0 : 1;
}
