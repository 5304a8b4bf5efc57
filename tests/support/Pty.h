// Pseudo-terminal pairs for tests: the program opens the slave by path as it
// would open /dev/ttyUSB0; the test (or a simulated target) talks on the
// master side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class PtyPair {
 public:
  PtyPair();   // fails the current test when no pty can be had
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int master() const { return master_; }
  const std::string& slavePath() const { return slavePath_; }

  void Write(const std::vector<uint8_t>& bytes);
  void Write(const std::string& bytes);
  // Reads whatever arrives until `count` bytes are in or `timeoutMs` passes.
  std::vector<uint8_t> Read(size_t count, int timeoutMs);
  // Reads until `quietMs` pass without a byte (or `timeoutMs` in all).
  std::vector<uint8_t> ReadUntilQuiet(int quietMs, int timeoutMs);
  // Drops the slave side the fixture keeps open, so that the master sees a
  // hang-up once the program closes it too.
  void CloseKeeper();
  // Closes the master: the program's side sees the device vanish.
  void HangUp();

 private:
  int master_ = -1;
  int keeper_ = -1;  // an open slave descriptor, so the master never reads EIO
  std::string slavePath_;
};
