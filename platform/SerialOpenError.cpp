#include "platform/SerialOpenError.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/SerialDevice.h"

namespace {

std::string Comm(int pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(f, name);
  return name;
}

bool Alive(int pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

// UUCP-style lock files: "LCK..ttyUSB0" holding the PID as text.
int LockFilePid(const std::string& path, int ignorePid) {
  const std::string base = path.substr(path.find_last_of('/') + 1);
  for (const char* dir : {"/run/lock/", "/var/lock/"}) {
    std::ifstream f(std::string(dir) + "LCK.." + base);
    if (!f) continue;
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    int pid = 0;
    if (text.size() == 4 && !std::isdigit(static_cast<unsigned char>(text[0])))
      std::memcpy(&pid, text.data(), 4);  // the binary form some programs write
    else
      pid = std::atoi(text.c_str());
    if (pid != ignorePid && Alive(pid)) return pid;
  }
  return 0;
}

// /proc/locks lines: "1: FLOCK  ADVISORY  WRITE 1234 00:05:321 0 EOF". The
// numbers are the file system's device (st_dev, in hex) and the inode; a
// device node's own number (st_rdev) never appears there.
int ProcLocksPid(const struct stat& st, int ignorePid) {
  std::ifstream f("/proc/locks");
  std::string line;
  while (std::getline(f, line)) {
    std::istringstream in(line);
    std::string id, type, mode, access, pidText, where;
    if (!(in >> id >> type)) continue;
    if (type == "->") continue;  // a waiter, not a holder
    if (!(in >> mode >> access >> pidText >> where)) continue;
    unsigned maj = 0, min = 0;
    unsigned long long ino = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%llu", &maj, &min, &ino) != 3) continue;
    if (ino == st.st_ino && maj == major(st.st_dev) && min == minor(st.st_dev)) {
      const int pid = std::atoi(pidText.c_str());
      if (pid != ignorePid && Alive(pid)) return pid;
    }
  }
  return 0;
}

// Whoever has the device open, where /proc lets us look.
int OpenerPid(const std::string& path, int ignorePid) {
  char real[4096];
  const ssize_t n = ::readlink(path.c_str(), real, sizeof real - 1);
  std::string target = path;
  if (n > 0) {
    real[n] = 0;
    target = real[0] == '/' ? std::string(real) : path.substr(0, path.find_last_of('/') + 1) + real;
  }
  DIR* proc = ::opendir("/proc");
  if (!proc) return 0;
  int found = 0;
  while (dirent* e = ::readdir(proc)) {
    const int pid = std::atoi(e->d_name);
    if (pid <= 0 || pid == ignorePid) continue;
    const std::string fdDir = std::string("/proc/") + e->d_name + "/fd";
    DIR* fds = ::opendir(fdDir.c_str());
    if (!fds) continue;
    while (dirent* fe = ::readdir(fds)) {
      char link[4096];
      const ssize_t m = ::readlink((fdDir + "/" + fe->d_name).c_str(), link, sizeof link - 1);
      if (m <= 0) continue;
      link[m] = 0;
      if (target == link || path == link) {
        found = pid;
        break;
      }
    }
    ::closedir(fds);
    if (found) break;
  }
  ::closedir(proc);
  return found;
}

std::string HolderText(const SerialOpenProblem& p) {
  if (p.holderPid <= 0) return "";
  std::string t = "（PID " + std::to_string(p.holderPid);
  if (!p.holderName.empty()) t += " " + p.holderName;
  return t + "）";
}

}  // namespace

int SerialDeviceLockHolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? ProcLocksPid(st, 0) : 0;
}

int SerialDeviceHolder(const std::string& path, std::string* name, int ignorePid) {
  int pid = LockFilePid(path, ignorePid);
  struct stat st {};
  if (!pid && ::stat(path.c_str(), &st) == 0) pid = ProcLocksPid(st, ignorePid);
  if (!pid) pid = OpenerPid(path, ignorePid);
  if (pid && name) *name = Comm(pid);
  return pid;
}

SerialOpenProblem DiagnoseSerialOpen(const std::string& portName) {
  SerialOpenProblem p;
  p.path = SerialDevicePath(portName);
  auto done = [&p](SerialOpenProblem::Kind kind, const std::string& text) {
    p.kind = kind;
    p.text = text;
    return p;
  };
  if (portName.empty()) return done(SerialOpenProblem::Kind::NoSuchDevice, "没有选择串口");
  struct stat st {};
  if (::stat(p.path.c_str(), &st) != 0) {
    p.error = errno;
    if (errno == ENOENT || errno == ENOTDIR)
      return done(SerialOpenProblem::Kind::NoSuchDevice, "串口 " + p.path + " 不存在（设备没有连接？）");
    if (errno == EACCES)
      return done(SerialOpenProblem::Kind::PermissionDenied,
                  "没有权限访问 " + p.path + "（请检查所在目录的权限）");
    return done(SerialOpenProblem::Kind::Other, "无法打开串口 " + p.path + ": " + std::strerror(errno));
  }
  if (!S_ISCHR(st.st_mode))
    return done(SerialOpenProblem::Kind::NotSerial, p.path + " 不是串口设备");
  const int fd = ::open(p.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    p.error = errno;
    switch (errno) {
      case EACCES:
      case EPERM:
        return done(SerialOpenProblem::Kind::PermissionDenied,
                    "没有权限打开 " + p.path +
                        "：请把用户加入 dialout 组（sudo usermod -aG dialout $USER），然后重新登录");
      case EBUSY:
        p.holderPid = SerialDeviceHolder(p.path, &p.holderName);
        return done(SerialOpenProblem::Kind::Busy, "串口 " + p.path + " 已被其它程序占用" + HolderText(p));
      case ENXIO:
      case ENODEV:
      case ENOENT:
        return done(SerialOpenProblem::Kind::NoSuchDevice, "串口 " + p.path + " 不存在（设备没有连接？）");
      case EIO:
        return done(SerialOpenProblem::Kind::NoSuchDevice, "串口 " + p.path + " 无法使用（设备已断开？）");
      default:
        return done(SerialOpenProblem::Kind::Other, "无法打开串口 " + p.path + ": " + std::strerror(errno));
    }
  }
  if (!::isatty(fd)) {
    ::close(fd);
    return done(SerialOpenProblem::Kind::NotSerial, p.path + " 不是串口设备");
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    p.error = errno;
    ::close(fd);
    p.holderPid = SerialDeviceHolder(p.path, &p.holderName);
    return done(SerialOpenProblem::Kind::Busy, "串口 " + p.path + " 已被其它程序占用" + HolderText(p));
  }
  ::close(fd);
  return p;  // nothing stands in the way
}

std::string SerialOpenFailureText(const std::string& portName) {
  SerialOpenProblem p = DiagnoseSerialOpen(portName);
  // It opens now: whatever stood in the way has gone, or it was the
  // settings that failed.
  if (p.kind == SerialOpenProblem::Kind::None) return "无法打开串口 " + p.path + "（设置被拒绝，或设备刚刚被释放）";
  return p.text;
}
