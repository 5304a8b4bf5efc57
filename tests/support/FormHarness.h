// Builds the real main window on the offscreen platform with its messages,
// settings and device list kept away from the user's machine.
#pragma once

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

#include "app/MainForm.h"
#include "platform/SettingsStore.h"

struct FormHarness {
  QStringList messages;  // "caption|text" of every message box
  QTemporaryDir noDevices;
  std::unique_ptr<TMainForm> form;

  FormHarness() {
    // An empty device tree: the lists keep what the window defines unless a
    // test names extra ports.
    qputenv("VORTANA_SYS_CLASS_TTY", noDevices.path().toLocal8Bit());
    TMainForm::MessageSink = [this](const QString& caption, const QString& text) {
      messages << caption + u'|' + text;
    };
  }
  ~FormHarness() {
    form.reset();
    TMainForm::MessageSink = nullptr;
  }

  // platform: the serial layer under the window's drivers (nullptr: the real one).
  TMainForm& Create(bool withProgrammers = true, SerialPlatform* platform = nullptr) {
    form = std::make_unique<TMainForm>(nullptr, platform);
    form->ShowMessageHook = TMainForm::MessageSink;
    if (withProgrammers) form->CreateProgrammers();
    form->show();
    return *form;
  }

  static QString SettingsPath() { return SettingsStore::KeyFilePath(); }
  static void RemoveSettings() { QFile::remove(SettingsPath()); }
  static void WriteSettings(const QString& text) {
    QDir().mkpath(QFileInfo(SettingsPath()).absolutePath());
    QFile f(SettingsPath());
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(text.toUtf8());
  }
  static QStringList SettingsNames() {
    QFile f(SettingsPath());
    QStringList names;
    if (!f.open(QIODevice::ReadOnly)) return names;
    for (const QString& line : QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts))
      names << line.section(u'"', 1, 1);
    return names;
  }
};
