#include "bench_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "child_exec.h"

namespace bench {

Percentiles percentiles(std::vector<double> v) {
  Percentiles p;
  if (v.empty()) return p;
  std::sort(v.begin(), v.end());
  auto at = [&](double q) {
    size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size()))) - 1;
    return v[std::min(i, v.size() - 1)];
  };
  p.median = at(0.5);
  p.p99 = at(0.99);
  return p;
}

std::string self_path() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

namespace {

// fork + exec of ourselves; the child's stdin and stdout are the given descriptors.
pid_t spawn_self(const std::vector<std::string> &args, int in_fd, int out_fd) {
  std::vector<std::string> all{self_path()};
  all.insert(all.end(), args.begin(), args.end());
  all = ywstest::child_command(all);
  std::vector<char *> argv;
  for (std::string &a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid != 0) return pid;
  // Child: only async-signal-safe calls until exec, the parent may have threads.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  if (in_fd >= 0) dup2(in_fd, 0);
  if (out_fd >= 0) dup2(out_fd, 1);
  execv(argv[0], argv.data());
  _exit(127);
}

std::string read_line(int fd) {
  std::string line;
  char ch;
  while (read(fd, &ch, 1) == 1 && ch != '\n') line += ch;
  return line;
}

}  // namespace

bool ServerProcess::start(const std::vector<std::string> &args) {
  int ctl[2], out[2];
  if (pipe2(ctl, O_CLOEXEC) != 0) return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(ctl[0]);
    close(ctl[1]);
    return false;
  }
  pid_ = spawn_self(args, ctl[0], out[1]);
  close(ctl[0]);
  close(out[1]);
  ctl_fd_ = ctl[1];
  std::string line = read_line(out[0]);
  close(out[0]);
  port_ = std::atoi(field(line, "port").c_str());
  if (pid_ < 0 || port_ <= 0) {
    stop();
    return false;
  }
  return true;
}

void ServerProcess::stop() {
  if (ctl_fd_ >= 0) close(ctl_fd_);
  ctl_fd_ = -1;
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string ServerProcess::url(const std::string &path) const {
  return "ws://127.0.0.1:" + std::to_string(port_) + path;
}

long ServerProcess::peak_rss_kib() const {
  std::ifstream f("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

bool run_self(const std::vector<std::string> &args, std::string *out) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return false;
  pid_t pid = spawn_self(args, -1, p[1]);
  close(p[1]);
  out->clear();
  char buf[4096];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof(buf))) > 0) out->append(buf, static_cast<size_t>(n));
  close(p[0]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string field(const std::string &text, const std::string &key) {
  std::istringstream in(text);
  std::string word;
  while (in >> word)
    if (word.rfind(key + "=", 0) == 0) return word.substr(key.size() + 1);
  return {};
}

CpuSample cpu_now() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  CpuSample s;
  s.cpu_s = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
            static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  s.voluntary_switches = ru.ru_nvcsw;
  s.at = Clock::now();
  return s;
}

void since(const CpuSample &start, double *seconds, double *cpu_s, long *wakeups) {
  CpuSample now = cpu_now();
  *seconds = seconds_between(start.at, now.at);
  *cpu_s = now.cpu_s - start.cpu_s;
  *wakeups = now.voluntary_switches - start.voluntary_switches;
}

std::map<std::string, long> wakeups_by_thread() {
  std::map<std::string, long> m;
  DIR *d = opendir("/proc/self/task");
  if (!d) return m;
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/status");
    std::string line, name;
    long sw = 0;
    while (std::getline(f, line)) {
      if (line.rfind("Name:", 0) == 0) name = line.substr(line.find_first_not_of(" \t", 5));
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) sw = std::atol(line.c_str() + 24);
    }
    m[name] += sw;
  }
  closedir(d);
  return m;
}

int thread_count() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  return -1;
}

double handoff_us(int rounds) {
  std::mutex m;
  std::condition_variable cv;
  int turn = 0;
  std::thread other([&] {
    for (int i = 0; i < rounds; i++) {
      std::unique_lock<std::mutex> lk(m);
      cv.wait(lk, [&] { return turn == 1; });
      turn = 0;
      cv.notify_all();
    }
  });
  auto t0 = Clock::now();
  for (int i = 0; i < rounds; i++) {
    std::unique_lock<std::mutex> lk(m);
    turn = 1;
    cv.notify_all();
    cv.wait(lk, [&] { return turn == 0; });
  }
  double us = seconds_between(t0, Clock::now()) * 1e6 / (2.0 * rounds);
  other.join();
  return us;
}

std::vector<double> wakeup_one_way_samples(int rounds) {
  std::mutex m;
  std::condition_variable cv;
  int turn = 0;
  Clock::time_point sent;
  std::vector<double> one_way;
  one_way.reserve(static_cast<size_t>(2 * rounds));
  auto side = [&](int me, int other) {
    for (int i = 0; i < rounds; i++) {
      std::unique_lock<std::mutex> lk(m);
      cv.wait(lk, [&] { return turn == me; });
      if (me != 0 || i > 0)
        one_way.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
      sent = Clock::now();
      turn = other;
      cv.notify_all();
    }
  };
  std::thread b([&] { side(1, 0); });
  side(0, 1);
  b.join();
  return one_way;
}

namespace {

Switches read_switches(const std::string &status_path) {
  std::ifstream f(status_path);
  std::string line;
  Switches s;
  while (std::getline(f, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) s.voluntary = std::atol(line.c_str() + 24);
    if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
      s.involuntary = std::atol(line.c_str() + 27);
  }
  return s;
}

Switches delta(const ThreadSwitches &a, int tid, const Switches &now) {
  auto it = a.find(tid);
  Switches d = now;
  if (it != a.end()) {
    d.voluntary -= it->second.voluntary;
    d.involuntary -= it->second.involuntary;
  }
  return d;
}

}  // namespace

ThreadSwitches thread_switches() {
  ThreadSwitches m;
  DIR *d = opendir("/proc/self/task");
  if (!d) return m;
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    m[std::atoi(e->d_name)] =
        read_switches(std::string("/proc/self/task/") + e->d_name + "/status");
  }
  closedir(d);
  return m;
}

Switches switches_between(const ThreadSwitches &a, const ThreadSwitches &b) {
  Switches sum;
  for (const auto &kv : b) {
    Switches d = delta(a, kv.first, kv.second);
    sum.voluntary += d.voluntary;
    sum.involuntary += d.involuntary;
  }
  return sum;
}

Switches own_switches_between(const ThreadSwitches &a, const ThreadSwitches &b) {
  auto it = b.find(static_cast<int>(gettid()));
  return it == b.end() ? Switches{} : delta(a, it->first, it->second);
}

size_t process_heap_bytes() {
  struct mallinfo2 mi = mallinfo2();
  return mi.uordblks + mi.hblkhd;
}

std::string fmt(double v, int decimals) {
  if (std::isnan(v)) return "-";
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.*f", decimals, v);
  return buf;
}

std::string kib(double bytes) {
  return fmt(bytes / 1024.0, 1);
}

void Table::heading(const std::string &title) {
  rows_.push_back({title});
}

void Table::row(const std::string &figure, const std::string &service, const std::string &bare,
                const std::string &ratio) {
  rows_.push_back({figure, service, bare, ratio});
}

void Table::row(const std::string &figure, double service, double bare, int decimals) {
  bool both = !std::isnan(service) && !std::isnan(bare) && bare != 0;
  row(figure, fmt(service, decimals), fmt(bare, decimals), both ? fmt(service / bare, 2) : "-");
}

namespace {

// Characters, not bytes: labels carry "µ".
size_t display_width(const std::string &s) {
  size_t n = 0;
  for (char ch : s) n += (static_cast<unsigned char>(ch) & 0xC0) != 0x80 ? 1 : 0;
  return n;
}

std::string pad(const std::string &s, size_t width, bool left) {
  std::string fill(width > display_width(s) ? width - display_width(s) : 0, ' ');
  return left ? s + fill : fill + s;
}

}  // namespace

void Table::print() const {
  size_t w[4] = {6, 7, 4, 5};
  for (const auto &r : rows_)
    if (r.size() == 4)
      for (size_t i = 0; i < 4; i++) w[i] = std::max(w[i], display_width(r[i]));
  auto line = [&](const std::vector<std::string> &r) {
    std::printf("| %s | %s | %s | %s |\n", pad(r[0], w[0], true).c_str(),
                pad(r[1], w[1], false).c_str(), pad(r[2], w[2], false).c_str(),
                pad(r[3], w[3], false).c_str());
  };
  line({"figure", "service", "bare", "ratio"});
  std::printf("|%s|%s:|%s:|%s:|\n", std::string(w[0] + 2, '-').c_str(),
              std::string(w[1] + 1, '-').c_str(), std::string(w[2] + 1, '-').c_str(),
              std::string(w[3] + 1, '-').c_str());
  for (const auto &r : rows_) {
    if (r.size() == 4)
      line(r);
    else
      std::printf("| **%s** | | | |\n", r[0].c_str());
  }
}

}  // namespace bench
