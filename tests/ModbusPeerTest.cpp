// The window's Modbus master against an independent device: libmodbus's RTU
// server on one end of a socat pty pair, the main port on the other.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>

#include <modbus.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QTableView>

#include "support/EventPump.h"
#include "support/FormHarness.h"
#include "support/Pty.h"
#include "app/FrameWindow.h"
#include "app/FramePanels.h"
#include "app/ModbusWindow.h"
#include "app/TerminalOptions.h"

namespace {

constexpr int kSlave = 17;

struct Peer : ::testing::Test {
  QTemporaryDir dir;
  QProcess socat;
  modbus_t* ctx = nullptr;
  modbus_mapping_t* map = nullptr;
  std::atomic<bool> stop{false};
  std::thread server;
  FormHarness h;
  TMainForm* f = nullptr;
  ModbusWindow* w = nullptr;

  void SetUp() override {
    const QString a = dir.filePath("dev"), b = dir.filePath("win");
    socat.start("socat", {QStringLiteral("pty,raw,echo=0,link=%1").arg(a), QStringLiteral("pty,raw,echo=0,link=%1").arg(b)});
    ASSERT_TRUE(socat.waitForStarted(3000));
    ASSERT_TRUE(PumpUntil([&] { return QFile::exists(a) && QFile::exists(b); }, 3000)) << "socat made no ptys";

    ctx = modbus_new_rtu(a.toLocal8Bit().constData(), 9600, 'N', 8, 1);
    ASSERT_NE(ctx, nullptr);
    modbus_set_slave(ctx, kSlave);
    ASSERT_EQ(modbus_connect(ctx), 0) << modbus_strerror(errno);
    modbus_set_indication_timeout(ctx, 0, 50000);  // so the loop sees `stop`
    map = modbus_mapping_new(40, 40, 40, 40);
    for (int i = 0; i < 40; ++i) {
      map->tab_registers[i] = static_cast<uint16_t>(1000 + i);
      map->tab_input_registers[i] = static_cast<uint16_t>(0xFF00 + i);
      map->tab_bits[i] = i % 3 == 0;
      map->tab_input_bits[i] = i % 2;
    }
    server = std::thread([this] {
      uint8_t q[MODBUS_RTU_MAX_ADU_LENGTH];
      while (!stop) {
        const int rc = modbus_receive(ctx, q);
        if (rc > 0) modbus_reply(ctx, q, rc, map);
      }
    });

    h.RemoveSettings();
    f = &h.Create();
    f->ComboBox1->addItem(b);
    f->ComboBox1->setCurrentIndex(f->ComboBox1->count() - 1);
    f->RzPageControl1->setCurrentIndex(1);
    f->BitBtn3Click();
    ASSERT_TRUE(f->PortOpen);
    w = f->Terminal->Panels().ShowModbus();
    w->SlaveBox()->setValue(kSlave);
  }
  void TearDown() override {
    stop = true;
    if (server.joinable()) server.join();
    if (ctx) {
      modbus_close(ctx);
      modbus_free(ctx);
    }
    if (map) modbus_mapping_free(map);
    socat.terminate();
    socat.waitForFinished(2000);
  }

  // Runs one request and waits for its outcome.
  modbus::Reply Run(bool read) {
    const int before = w->Completed();
    EXPECT_TRUE(read ? w->Read() : w->Write()) << w->StatusText().toStdString();
    EXPECT_TRUE(PumpUntil([&] { return w->Completed() > before; }, 3000));
    return w->LastReply().value_or(modbus::Reply{});
  }
  void Choose(int table, int address, int count) {
    w->TableBox()->setCurrentIndex(table);
    w->AddressBox()->setValue(address);
    w->CountBox()->setValue(count);
  }
  QString Shown(int row) const { return w->Values()->item(row, 1)->text(); }
};

TEST_F(Peer, EveryFunctionCodeReadsAndWritesTheDevice) {
  using modbus::ReplyStatus;
  Choose(2, 3, 4);  // holding registers
  auto r = Run(true);
  ASSERT_EQ(r.status, ReplyStatus::Ok) << r.error.toStdString();
  EXPECT_EQ(r.values, (std::vector<uint16_t>{1003, 1004, 1005, 1006}));
  EXPECT_EQ(w->Values()->item(0, 0)->text(), "3");
  EXPECT_EQ(Shown(3), "1006");

  Choose(3, 0, 2);  // input registers, shown signed
  w->FormatBox()->setCurrentIndex(1);
  r = Run(true);
  ASSERT_EQ(r.status, ReplyStatus::Ok);
  EXPECT_EQ(Shown(1), "-255");

  Choose(0, 0, 10);  // coils
  r = Run(true);
  ASSERT_EQ(r.status, ReplyStatus::Ok);
  EXPECT_EQ(r.values, (std::vector<uint16_t>{1, 0, 0, 1, 0, 0, 1, 0, 0, 1}));
  Choose(1, 1, 3);  // discrete inputs
  r = Run(true);
  ASSERT_EQ(r.status, ReplyStatus::Ok);
  EXPECT_EQ(r.values, (std::vector<uint16_t>{1, 0, 1}));

  // 05 and 0F.
  Choose(0, 1, 1);
  w->ValuesEdit()->setText("1");
  ASSERT_EQ(Run(false).status, ReplyStatus::Ok);
  EXPECT_EQ(map->tab_bits[1], 1);
  Choose(0, 20, 1);
  w->ValuesEdit()->setText("1,1,0,1,0,0,0,0,1");
  ASSERT_EQ(Run(false).status, ReplyStatus::Ok);
  EXPECT_EQ(map->tab_bits[20], 1);
  EXPECT_EQ(map->tab_bits[21], 1);
  EXPECT_EQ(map->tab_bits[22], 0);
  EXPECT_EQ(map->tab_bits[28], 1);

  // 06 and 10, the last as a float in both word orders.
  Choose(2, 5, 1);
  w->FormatBox()->setCurrentIndex(0);
  w->ValuesEdit()->setText("0xBEEF");
  ASSERT_EQ(Run(false).status, ReplyStatus::Ok);
  EXPECT_EQ(map->tab_registers[5], 0xBEEF);
  w->FormatBox()->setCurrentIndex(3);
  Choose(2, 10, 1);
  w->ValuesEdit()->setText("1.5, -2");
  ASSERT_EQ(Run(false).status, ReplyStatus::Ok);
  EXPECT_EQ(map->tab_registers[10], 0x3FC0);
  EXPECT_EQ(map->tab_registers[11], 0x0000);
  EXPECT_EQ(map->tab_registers[12], 0xC000);
  Choose(2, 10, 4);
  ASSERT_EQ(Run(true).status, ReplyStatus::Ok);
  EXPECT_EQ(Shown(0), "1.5");
  EXPECT_EQ(Shown(2), "-2");
  w->FormatBox()->setCurrentIndex(4);  // the other word order reads other numbers
  EXPECT_NE(Shown(0), "1.5");
}

TEST_F(Peer, ExceptionsAndASilentSlaveAreNamed) {
  Choose(2, 39, 5);  // past the device's 40 registers
  auto r = Run(true);
  EXPECT_EQ(r.status, modbus::ReplyStatus::Exception);
  EXPECT_EQ(r.exceptionCode, 2);
  EXPECT_TRUE(w->StatusText().contains(QString::fromUtf8("非法数据地址"))) << w->StatusText().toStdString();

  w->SlaveBox()->setValue(kSlave + 1);  // nobody answers
  w->TimeoutBox()->setValue(150);
  Choose(2, 0, 1);
  r = Run(true);
  EXPECT_EQ(r.status, modbus::ReplyStatus::Timeout);
  EXPECT_TRUE(w->StatusText().contains(QString::fromUtf8("无应答"))) << w->StatusText().toStdString();
  w->Values()->window()->grab().save("/tmp/frames-modbus.png");
}

TEST_F(Peer, PollingRefreshesTheTableUntilTheBoxIsCleared) {
  Choose(2, 0, 2);
  w->PollIntervalBox()->setValue(50);
  w->PollBox()->setChecked(true);
  ASSERT_TRUE(PumpUntil([&] { return w->Completed() >= 2; }, 3000));
  map->tab_registers[0] = 4242;  // the device's value changes
  const int now = w->Completed();
  ASSERT_TRUE(PumpUntil([&] { return w->Completed() >= now + 2; }, 3000));
  EXPECT_EQ(Shown(0), "4242");
  w->grab().save("/tmp/frames-modbus-table.png");
  w->PollBox()->setChecked(false);
  PumpFor(100);
  const int stopped = w->Completed();
  PumpFor(300);
  EXPECT_EQ(w->Completed(), stopped);
}

// A libmodbus master and server talk through a relay that copies the bus to
// the window's port in a USB adapter's 32-byte packets; the frame view's
// Modbus rule decodes every request and reply.
TEST(Monitor, ListensToALibmodbusBusDeliveredInUsbPackets) {
  QTemporaryDir dir;
  const QString c = dir.filePath("c"), r1 = dir.filePath("r1"), r2 = dir.filePath("r2"), s = dir.filePath("s");
  QProcess pair1, pair2;
  pair1.start("socat", {QStringLiteral("pty,raw,echo=0,link=%1").arg(c), QStringLiteral("pty,raw,echo=0,link=%1").arg(r1)});
  pair2.start("socat", {QStringLiteral("pty,raw,echo=0,link=%1").arg(r2), QStringLiteral("pty,raw,echo=0,link=%1").arg(s)});
  ASSERT_TRUE(PumpUntil([&] { return QFile::exists(c) && QFile::exists(r1) && QFile::exists(r2) && QFile::exists(s); }, 3000));

  PtyPair tee;
  FormHarness h;
  h.RemoveSettings();
  TMainForm& f = h.Create();
  f.ComboBox1->addItem(QString::fromStdString(tee.slavePath()));
  f.ComboBox1->setCurrentIndex(f.ComboBox1->count() - 1);
  f.RzPageControl1->setCurrentIndex(1);
  f.BitBtn3Click();
  ASSERT_TRUE(f.PortOpen);
  FrameWindow* view = f.Terminal->Panels().ShowFrames();
  view->RuleEdit()->setText("modbus");
  ASSERT_TRUE(view->ApplyChoices());

  std::atomic<bool> stop{false};
  const int a = ::open(r1.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  const int b = ::open(r2.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  std::thread relay([&] {
    std::vector<uint8_t> pending;
    while (!stop) {
      pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
      ::poll(p, 2, 5);
      for (int k = 0; k < 2; ++k) {
        if (!(p[k].revents & POLLIN)) continue;
        uint8_t buf[512];
        const ssize_t n = ::read(p[k].fd, buf, sizeof buf);
        if (n <= 0) continue;
        (void)!::write(k == 0 ? b : a, buf, static_cast<size_t>(n));
        pending.insert(pending.end(), buf, buf + n);
      }
      // Whole 32-byte packets as they fill, the rest when the bus is quiet.
      while (pending.size() >= 32 || (!pending.empty() && !(p[0].revents | p[1].revents))) {
        const size_t n = std::min<size_t>(32, pending.size());
        tee.Write(std::vector<uint8_t>(pending.begin(), pending.begin() + static_cast<long>(n)));
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(n));
      }
    }
  });

  modbus_t* server = modbus_new_rtu(s.toLocal8Bit().constData(), 115200, 'N', 8, 1);
  modbus_set_slave(server, kSlave);
  ASSERT_EQ(modbus_connect(server), 0);
  modbus_set_indication_timeout(server, 0, 50000);
  modbus_mapping_t* map = modbus_mapping_new(100, 100, 100, 100);
  std::thread serve([&] {
    uint8_t q[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!stop) {
      const int rc = modbus_receive(server, q);
      if (rc > 0) modbus_reply(server, q, rc, map);
    }
  });

  std::atomic<int> asked{0};
  std::thread master([&] {
    modbus_t* m = modbus_new_rtu(c.toLocal8Bit().constData(), 115200, 'N', 8, 1);
    modbus_set_slave(m, kSlave);
    modbus_set_response_timeout(m, 1, 0);
    if (modbus_connect(m) != 0) return;
    uint16_t regs[100];
    uint8_t bits[100] = {1, 0, 1};
    for (int i = 0; i < 5; ++i) {
      modbus_read_registers(m, i, 60, regs);          // a 125-byte reply: four packets
      modbus_write_register(m, i, static_cast<uint16_t>(i * 11));
      modbus_write_bits(m, 10, 3, bits);
      modbus_read_input_registers(m, 98, 5, regs);    // past the end: an exception
      asked += 4;
    }
    modbus_close(m);
    modbus_free(m);
  });
  master.join();
  const auto rows = [&] { return view->Table()->model()->rowCount(); };
  PumpUntil([&] {
    view->Refresh();
    return rows() >= 40;
  }, 5000);
  PumpFor(200);  // nothing more comes
  view->LogGrew();
  view->Refresh();
  stop = true;
  relay.join();
  serve.join();
  ::close(a);
  ::close(b);
  modbus_close(server);
  modbus_free(server);
  modbus_mapping_free(map);
  pair1.terminate();
  pair2.terminate();
  pair1.waitForFinished(2000);
  pair2.waitForFinished(2000);

  ASSERT_EQ(asked.load(), 20);
  ASSERT_EQ(rows(), 40);  // every request and every reply, nothing unframed
  const FrameLog& log = f.Terminal->Panels().Log();
  for (size_t i = 0; i < log.Count(); ++i) {
    EXPECT_FALSE(log.At(i).stray) << i;
    EXPECT_EQ(log.At(i).verdict, static_cast<uint8_t>(ChecksumVerdict::Good)) << i;  // the rule brings its CRC
    EXPECT_EQ(log.At(i).reply, i % 2) << i;
  }
  EXPECT_EQ(log.At(1).length, 125u);
  const QString last = view->Table()->model()->index(39, 3).data().toString();
  EXPECT_TRUE(last.contains(QString::fromUtf8("非法数据地址"))) << last.toStdString();
  view->grab().save("/tmp/frames-monitor.png");
}

}  // namespace
