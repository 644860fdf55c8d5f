// runner_bench: the tool's main job as a production line runs it, a whole silent check of a blank
// chip by the virtual-workstation runner, from process start to exit (start-up, camera selection,
// the repair, result files, shutdown), on workstations of 1 and 16 cameras at 0, 125 us and 1 ms per
// control transfer. Counters: the control transfers of one run, the time that traffic itself takes
// (transfers x per-transfer time), for comparison 1.05 x that + 15 ms, and the CPU time the runner
// process used (user + system, less disturbed by a busy machine than wall time). StartOnly is the runner
// started without arguments (it prints its usage and ends): process start and the loading of its
// libraries, the floor under every run. Figures only.
//
//   runner_bench [--benchmark_repetitions=5] [--benchmark_format=json] ...
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// A private copy of the runner: it writes its result files and saved state beside itself.
const fs::path& WorkDir() {
  static const fs::path kDir = [] {
    const fs::path d = fs::temp_directory_path() / ("fcp_runner_bench_" + std::to_string(::getpid()));
    fs::create_directories(d);
    fs::copy_file(FCP_RUNNER, d / "fixcorepower-sim", fs::copy_options::overwrite_existing);
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(WorkDir(), ignored);
    });
    return d;
  }();
  return kDir;
}

fs::path WriteScenario(int cameras, long latency_us) {
  const fs::path path = WorkDir() / ("bench_" + std::to_string(cameras) + "_" + std::to_string(latency_us) + ".json");
  std::ofstream out(path);
  out << R"({"latency_us": )" << latency_us << R"(, "devices": [)";
  for (int i = 0; i < cameras; ++i) {
    out << (i ? "," : "") << R"({"id": "cam)" << i << R"(", "kind": "chip_camera", "ports": [)" << i + 1 << "]}";
  }
  out << "]}\n";
  return path;
}

// One run, without a display (headless, as a station without a desktop): silent on `scenario`, or
// with no arguments at all when it is empty. Returns the exit code, or -1 when the process could not
// be started; `cpu_seconds` (if given) receives the CPU time the process used.
int RunSilent(const fs::path& scenario, const char* trace, double* cpu_seconds = nullptr) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    if (entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("WAYLAND_DISPLAY=", 0) == 0 ||
        entry.rfind("FCP_SIM_TRACE=", 0) == 0)
      continue;
    env.push_back(entry);
  }
  if (trace) env.push_back(std::string("FCP_SIM_TRACE=") + trace);
  std::vector<char*> envp;
  for (auto& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  const std::string program = (WorkDir() / "fixcorepower-sim").string();
  std::string scenario_arg = scenario.string();
  std::string silent = "-s";
  char* argv[] = {const_cast<char*>(program.c_str()), scenario_arg.data(), silent.data(), nullptr};
  if (scenario.empty()) argv[1] = nullptr;
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status)) return -1;
  if (cpu_seconds) {
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    *cpu_seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  }
  return WEXITSTATUS(status);
}

// The control transfers of one run, counted from its wire trace (one line per transfer).
long CountTransfers(const fs::path& scenario) {
  const fs::path trace = WorkDir() / "trace.txt";
  fs::remove(trace);
  if (RunSilent(scenario, trace.c_str()) != 0) return -1;
  std::ifstream in(trace);
  return static_cast<long>(std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

void SilentRun(benchmark::State& state) {
  const int cameras = static_cast<int>(state.range(0));
  const long latency_us = static_cast<long>(state.range(1));
  const fs::path scenario = WriteScenario(cameras, latency_us);
  const long transfers = CountTransfers(scenario);
  if (transfers < 0) {
    state.SkipWithError("the runner did not pass the blank chip");
    return;
  }
  double cpu_seconds = 0;
  for (auto _ : state) {
    double cpu = 0;
    const auto start = std::chrono::steady_clock::now();
    const int code = RunSilent(scenario, nullptr, &cpu);
    const auto end = std::chrono::steady_clock::now();
    if (code != 0) {
      state.SkipWithError("the runner did not pass the blank chip");
      break;
    }
    cpu_seconds += cpu;
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  state.counters["cpu_ms"] = benchmark::Counter(cpu_seconds * 1000.0, benchmark::Counter::kAvgIterations);
  const double usb_ms = static_cast<double>(transfers) * static_cast<double>(latency_us) / 1000.0;
  state.counters["transfers"] = static_cast<double>(transfers);
  state.counters["usb_ms"] = usb_ms;
  state.counters["goal_ms"] = 1.05 * usb_ms + 15.0;
}

void StartOnly(benchmark::State& state) {
  double cpu_seconds = 0;
  for (auto _ : state) {
    double cpu = 0;
    const auto start = std::chrono::steady_clock::now();
    RunSilent({}, nullptr, &cpu);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    cpu_seconds += cpu;
  }
  state.counters["cpu_ms"] = benchmark::Counter(cpu_seconds * 1000.0, benchmark::Counter::kAvgIterations);
}

BENCHMARK(StartOnly)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

BENCHMARK(SilentRun)
    ->ArgNames({"cameras", "us_per_transfer"})
    ->ArgsProduct({{1, 16}, {0, 125, 1000}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
