#include "platform/PortDiscovery.h"

#include <QFile>

#include "platform/SerialAdapter.h"
#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

PortDiscoverySources SystemPortSources() {
  PortDiscoverySources s;
  const QString root = qEnvironmentVariable("VORTANA_SYS_CLASS_TTY");
  const QString sysfs = qEnvironmentVariable("VORTANA_SYSFS_ROOT");
  if (!root.isEmpty()) s.sysClassTty = root;
  else if (!sysfs.isEmpty()) s.sysClassTty = sysfs + QStringLiteral("/class/tty");
  s.extraPorts = qEnvironmentVariable("VORTANA_EXTRA_PORTS");
  return s;
}

namespace {

// False when the entry's `type` attribute says "no UART here" (0).
bool UartPresent(const fs::path& entry) {
  QFile type(QString::fromStdString((entry / "type").string()));
  if (!type.open(QIODevice::ReadOnly)) return true;  // not a UART with a type: count it
  bool ok = false;
  const int value = type.readAll().trimmed().toInt(&ok);
  return !ok || value != 0;
}

}  // namespace

QStringList HardwareSerialDevices(const QString& sysClassTty) {
  QStringList names;
  std::error_code ec;
  fs::directory_iterator it(fs::path(sysClassTty.toStdString()), ec);
  if (ec) return names;
  // Stepping with an error code: a folder that vanishes while it is read
  // (an adapter unplugged) ends the listing instead of throwing.
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const fs::path entry = it->path();
    std::error_code linkEc;
    const bool hasDevice = fs::exists(fs::symlink_status(entry / "device", linkEc)) && !linkEc;
    if (!hasDevice || !UartPresent(entry)) continue;
    names << QString::fromStdString(entry.filename().string());
  }
  return names;
}

QStringList ExtraPorts(const QString& colonSeparated) {
  return colonSeparated.split(u':', Qt::SkipEmptyParts);
}

QStringList SortedPortList(const QStringList& names) {
  QStringList sorted;
  for (const QString& n : names)
    if (!n.isEmpty()) sorted << n;
  const auto less = [](const QString& a, const QString& b) {
    return QString::compare(a, b, Qt::CaseInsensitive) < 0;
  };
  std::stable_sort(sorted.begin(), sorted.end(), less);
  const auto equal = [](const QString& a, const QString& b) {
    return QString::compare(a, b, Qt::CaseInsensitive) == 0;
  };
  sorted.erase(std::unique(sorted.begin(), sorted.end(), equal), sorted.end());
  return sorted;
}

QStringList DiscoverPorts(const PortDiscoverySources& sources) {
  return SortedPortList(HardwareSerialDevices(sources.sysClassTty) +
                        ExtraPorts(sources.extraPorts));
}

int SelectedIndexAfterRefill(int currentIndex, int itemCount) {
  if (currentIndex > itemCount - 1) return itemCount - 1;
  return currentIndex;
}

QStringList PortListLines(const PortDiscoverySources& sources) {
  QStringList lines;
  for (const QString& port : DiscoverPorts(sources)) {
    const SerialAdapter a = AdapterOfPort(port.toStdString());
    lines << QString::fromStdString(a.Label().empty() ? port.toStdString() : port.toStdString() + " — " + a.Label());
    const std::string stable = StableNameOf(DeviceNameOf(port.toStdString()));
    if (!stable.empty()) lines << QStringLiteral("    ") + QString::fromStdString(stable);
  }
  return lines;
}
