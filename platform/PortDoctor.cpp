#include "platform/PortDoctor.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/SerialAdapter.h"
#include "platform/SerialDevice.h"
#include "platform/SerialOpenError.h"

namespace fs = std::filesystem;

namespace {

std::string EnvOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

std::string FirstLine(const fs::path& p) {
  std::ifstream f(p);
  std::string s;
  std::getline(f, s);
  return s;
}

std::string PidList(const std::vector<int>& pids) {
  std::string t;
  for (int p : pids) t += (t.empty() ? "" : ", ") + std::to_string(p);
  return t;
}

// The login's groups as /proc/self/status lists them (the process may carry
// fewer than /etc/group names: a group added since login is not there).
std::vector<gid_t> LoginGroups(const std::string& procRoot) {
  std::ifstream f(procRoot + "/self/status");
  std::string line;
  std::vector<gid_t> gids;
  while (std::getline(f, line)) {
    if (line.rfind("Groups:", 0) != 0) continue;
    std::istringstream in(line.substr(7));
    long g;
    while (in >> g) gids.push_back(static_cast<gid_t>(g));
  }
  if (gids.empty()) {  // no status to read: ask the process itself
    gid_t list[256];
    const int n = ::getgroups(256, list);
    gids.assign(list, list + std::max(n, 0));
  }
  gids.push_back(::getegid());
  return gids;
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// name and members of group `gid` in /etc/group's text.
bool GroupEntry(const std::string& text, gid_t gid, std::string* name, std::vector<std::string>* members) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::string field;
    std::istringstream l(line);
    while (std::getline(l, field, ':')) f.push_back(field);
    if (f.size() < 3 || f[2] != std::to_string(gid)) continue;
    *name = f[0];
    members->clear();
    if (f.size() > 3) {
      std::istringstream m(f[3]);
      while (std::getline(m, field, ',')) members->push_back(field);
    }
    return true;
  }
  return false;
}

bool UdevIgnoresModem(const std::string& udevData, const struct stat& st) {
  std::ifstream f(udevData + "/c" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
  std::string line;
  while (std::getline(f, line))
    if (line == "E:ID_MM_DEVICE_IGNORE=1") return true;
  return false;
}

}  // namespace

DoctorRoots DoctorRoots::System() {
  DoctorRoots r;
  r.proc = EnvOr("VORTANA_PROC_ROOT", "/proc");
  r.sys = SysfsRoot();
  r.dev = DevRoot();
  r.groupFile = EnvOr("VORTANA_GROUP_FILE", "/etc/group");
  r.udevData = EnvOr("VORTANA_UDEV_DATA", "/run/udev/data");
  return r;
}

std::vector<int> ProcessesNamed(const std::string& procRoot, const std::string& comm) {
  std::vector<int> pids;
  std::error_code ec;
  fs::directory_iterator it(procRoot, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string n = it->path().filename().string();
    if (n.empty() || n.find_first_not_of("0123456789") != std::string::npos) continue;
    if (FirstLine(it->path() / "comm") == comm) pids.push_back(std::atoi(n.c_str()));
  }
  std::sort(pids.begin(), pids.end());
  return pids;
}

std::vector<PortFinding> GroupFindings(const std::string& devicePath, uid_t fileUid, gid_t fileGid, mode_t mode,
                                       uid_t uid, const std::string& userName, const std::vector<gid_t>& loginGroups,
                                       const std::string& groupFileText) {
  if (uid == 0 || fileUid == uid) return {};
  if ((mode & (S_IROTH | S_IWOTH)) == (S_IROTH | S_IWOTH)) return {};
  if ((mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) return {};  // a group would not help
  if (std::find(loginGroups.begin(), loginGroups.end(), fileGid) != loginGroups.end()) return {};
  std::string group;
  std::vector<std::string> members;
  if (!GroupEntry(groupFileText, fileGid, &group, &members)) group = std::to_string(fileGid);
  const std::string user = userName.empty() ? std::string("$USER") : userName;
  if (std::find(members.begin(), members.end(), userName) != members.end())
    return {{PortFinding::Kind::Group, "用户 " + user + " 已在 " + group + " 组中，但当前登录还没有这个组（加入后没有重新登录）",
             "注销后重新登录（或重启）；临时可用: newgrp " + group}};
  return {{PortFinding::Kind::Group, "用户 " + user + " 不在 " + devicePath + " 所属的 " + group + " 组中，没有权限打开串口",
           "sudo usermod -aG " + group + " " + user + "，然后注销并重新登录"}};
}

std::vector<PortFinding> DiagnosePort(const std::string& portName, const DoctorRoots& roots) {
  std::vector<PortFinding> out;
  const std::vector<int> brltty = ProcessesNamed(roots.proc, "brltty");
  if (!brltty.empty())
    out.push_back({PortFinding::Kind::Daemon, "盲文显示守护进程 brltty 正在运行（PID " + PidList(brltty) +
                       "），它会占用 CH340、CP210x 等 USB 串口适配器",
                   "不用盲文显示器时: sudo systemctl mask --now brltty-udev.service brltty.service，或 sudo apt remove brltty"});

  struct stat st {};
  const std::string path = portName.empty() ? std::string() : SerialDevicePath(portName);
  const bool present = !path.empty() && ::stat(path.c_str(), &st) == 0;

  const std::vector<int> mm = ProcessesNamed(roots.proc, "ModemManager");
  if (!mm.empty() && !(present && S_ISCHR(st.st_mode) && UdevIgnoresModem(roots.udevData, st)))
    out.push_back({PortFinding::Kind::Modem, "ModemManager 正在运行（PID " + PidList(mm) + "），它会向新出现的串口发送 AT 命令，打断下载",
                   "sudo systemctl stop ModemManager；或用 udev 规则给这个适配器设 ENV{ID_MM_DEVICE_IGNORE}=\"1\""});

  if (!portName.empty() && !present) {
    out.push_back({PortFinding::Kind::Missing, "串口 " + path + " 不存在（设备没有连接，或没有驱动）",
                   "插好适配器后再试；vortana-term --list-ports 列出现有串口"});
  } else if (present) {
    const uid_t uid = ::geteuid();
    std::string user;
    if (const passwd* pw = ::getpwuid(uid)) user = pw->pw_name;
    for (PortFinding& f : GroupFindings(path, st.st_uid, st.st_gid, st.st_mode, uid, user, LoginGroups(roots.proc),
                                        ReadAll(roots.groupFile)))
      out.push_back(std::move(f));
    std::string holderName;
    // Never Vortana itself: the terminal may hold the port while it asks.
    const int holder = SerialDeviceHolder(path, &holderName, ::getpid());
    if (holder > 0)
      out.push_back({PortFinding::Kind::Holder, "串口 " + path + " 正被进程 " + (holderName.empty() ? std::string("?") : holderName) + "（PID " +
                         std::to_string(holder) + "）使用",
                     "关闭该程序，或: kill " + std::to_string(holder)});
  }

  for (const SerialAdapter& a : UnboundUsbSerialDevices(roots.sys))
    out.push_back({PortFinding::Kind::NoDriver, "USB 设备 " + a.vendorId + ":" + a.productId + (a.product.empty() ? "" : " " + a.product) + " @ " +
                       a.usbPath + " 已插入，但没有驱动，因此没有串口",
                   "检查内核驱动（sudo modprobe ch341 / cp210x / ftdi_sio / cdc_acm）和 dmesg 的输出"});
  return out;
}

std::string DoctorReport(const std::string& portName, const std::vector<PortFinding>& findings) {
  std::string t;
  if (findings.empty()) {
    t = portName.empty() ? "未发现问题\n" : "未发现问题: " + SerialDevicePath(portName) + "\n";
    return t;
  }
  for (const PortFinding& f : findings) t += "问题: " + f.cause + "\n  解决: " + f.remedy + "\n";
  return t;
}
