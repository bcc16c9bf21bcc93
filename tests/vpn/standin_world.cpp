// Sandbox, plans, id files, process watching and the taskkill log for the vpn tests.
#include "standin_world.hpp"

#include <atomic>
#include <fstream>
#include <iterator>
#include <sstream>

#include "common/utf16.hpp"
#include "process/windows_system_queries.hpp"

namespace orvanta::vpn_test {

namespace fs = std::filesystem;

namespace {

constexpr ULONGLONG pid_wait_ms = 10000;

fs::path program_directory() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return fs::path(path).parent_path();
}

fs::path taskkill_log() { return program_directory() / "taskkill.log"; }
fs::path taskkill_hold() { return program_directory() / "taskkill.hold"; }

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

fs::path fresh_sandbox() {
  static std::atomic<int> count{0};
  std::wstring temp(MAX_PATH + 1, L'\0');
  temp.resize(GetTempPathW(static_cast<DWORD>(temp.size()), temp.data()));
  fs::path root = fs::path(temp) /
                  ("orvanta-vpn-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(count++));
  fs::remove_all(root);
  fs::create_directories(root);
  return root;
}

}  // namespace

std::string utf8(const fs::path& path) { return utf16_to_utf8(from_wide(path.wstring())).value_or(""); }
fs::path path_from_utf8(const std::string& text) { return fs::path(to_wide(text)); }

DWORD wait_for_pid(const fs::path& pid_out) {
  const ULONGLONG deadline = GetTickCount64() + pid_wait_ms;
  do {
    std::error_code error;
    if (fs::exists(pid_out, error)) {
      const std::string digits = read_file(pid_out);
      if (!digits.empty()) {
        return static_cast<DWORD>(std::stoul(digits));
      }
    }
    Sleep(5);
  } while (GetTickCount64() < deadline);
  return 0;
}

std::vector<std::string> read_argv(const fs::path& argv_out) {
  const std::string bytes = read_file(argv_out);
  std::vector<std::string> argv;
  std::size_t start = 0;
  for (std::size_t end = bytes.find('\0'); end != std::string::npos; end = bytes.find('\0', start)) {
    argv.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return argv;
}

Watched::Watched(DWORD pid)
    : process_(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) {
}

Watched::~Watched() { terminate(); }

bool Watched::ends_within(DWORD milliseconds) const {
  return !process_ || WaitForSingleObject(process_.get(), milliseconds) == WAIT_OBJECT_0;
}

std::string Watched::image() const {
  std::wstring image(32768, L'\0');
  DWORD size = static_cast<DWORD>(image.size());
  if (!process_ || !QueryFullProcessImageNameW(process_.get(), 0, image.data(), &size)) {
    return {};
  }
  image.resize(size);
  return utf8(image);
}

void Watched::release() { process_.reset(); }

void Watched::terminate() {
  if (process_ && !ends_within(0)) {
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), 5000);
  }
}

std::vector<TaskkillRun> taskkill_runs() {
  std::vector<TaskkillRun> runs;
  std::istringstream lines(read_file(taskkill_log()));
  for (std::string line; std::getline(lines, line);) {
    const std::size_t tab = line.find('\t');
    const std::size_t last_tab = line.rfind('\t');
    TaskkillRun run{line.substr(0, tab), line.substr(tab + 1, last_tab - tab - 1), false};
    if (last_tab == tab) {
      run.named = line.substr(tab + 1);
    } else {
      const std::string others = line.substr(last_tab + 1);
      run.pinned = !others.empty() && others != "0" && others.front() != '!';
    }
    runs.push_back(run);
  }
  return runs;
}

std::shared_ptr<SystemQueries> stand_in_system() {
  class StandInSystem final : public WindowsSystemQueries {
   public:
    Result<std::u16string> system_directory() override { return from_wide(program_directory().wstring()); }
  };
  return std::make_shared<StandInSystem>();
}

std::string taskkill_line(std::uint32_t pid) { return "\"taskkill\" /PID " + std::to_string(pid) + " /T /F"; }

void hold_taskkill(bool held) {
  if (held) {
    std::ofstream(taskkill_hold()).put('x');
  } else {
    fs::remove(taskkill_hold());
  }
}

VpnTest::VpnTest() : root_(fresh_sandbox()) {
  fs::remove(taskkill_log());
  hold_taskkill(false);
  standin_ = copy_standin("bin\\standin.exe");
}

VpnTest::~VpnTest() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

void VpnTest::TearDown() {
  state_.reset();
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root_)) {
    if (entry.path().extension() != ".pid") {
      continue;
    }
    const DWORD pid = static_cast<DWORD>(std::stoul(read_file(entry.path())));
    Watched process(pid);
    // An id can have been given to another process since; only a stand-in from this sandbox counts.
    if (process.running() && process.image().starts_with(utf8(root_))) {
      ADD_FAILURE() << "stand-in " << entry.path().filename() << " (pid " << pid << ") is still running";
    } else {
      process.release();
    }
  }
}

Planned VpnTest::plan(const std::string& name, const std::vector<std::string>& lines, const fs::path& at) {
  const fs::path file = at.empty() ? root_ / (name + ".plan") : root_ / at;
  Planned planned{utf8(file), root_ / (name + ".pid"), root_ / (name + ".argv")};
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  out << "pid_out=" << utf8(planned.pid_out) << "\n"
      << "argv_out=" << utf8(planned.argv_out) << "\n";
  for (const std::string& line : lines) {
    out << line << "\n";
  }
  return planned;
}

std::string VpnTest::copy_standin(const fs::path& at) {
  const fs::path copy = root_ / at;
  fs::create_directories(copy.parent_path());
  fs::copy_file(program_directory() / "standin.exe", copy, fs::copy_options::overwrite_existing);
  return utf8(copy);
}

HelperResponse VpnTest::connect(const Planned& planned) {
  return state_->start_openvpn(standin_, planned.plan, "C:\\vpn\\auth.txt", "C:\\vpn\\openvpn.log");
}

}  // namespace orvanta::vpn_test
