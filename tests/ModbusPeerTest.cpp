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

#include "support/EventPump.h"
#include "support/FormHarness.h"
#include "terminal/FramePanels.h"
#include "terminal/ModbusWindow.h"
#include "terminal/TerminalOptions.h"

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

}  // namespace
