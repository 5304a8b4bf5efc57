// The wire between a program and a simulated target, shared by the three
// simulated boot loaders. A pseudo-terminal hands every write across at
// once; a real link does not, and the engines must survive what it does:
//
// - bytes cross at the line rate (start, data, parity and stop bits), so the
//   target sees a command byte only when it has arrived, and its reply takes
//   its own wire time;
// - a USB adapter holds what the target sends until its latency timer ticks
//   or its packet buffer fills, then hands it over in one piece;
// - with a seed, replies are cut at random points and the pieces held apart
//   for random pauses (reproducible: the same seed cuts the same way).
//
// The link owns one thread that reads the host's bytes as they come (each
// stamped with the time it finishes crossing the wire) and writes the
// target's bytes when they are due. The master descriptor stays the
// caller's; after Stop() the caller may close it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

struct SimLinkOptions {
  uint32_t baud = 0;          // 0: no pacing (an instant link)
  int bitsPerByte = 10;       // 11 with parity
  int adapterLatencyMs = 0;   // USB adapter: replies held until its timer ticks ...
  size_t adapterPacket = 62;  // ... or until this many bytes wait
  uint32_t seed = 0;          // != 0: replies cut at random points ...
  int maxPauseMs = 20;        // ... with random pauses up to this long
};

class SimLink {
 public:
  explicit SimLink(int masterFd, SimLinkOptions options = {});
  ~SimLink();
  SimLink(const SimLink&) = delete;
  SimLink& operator=(const SimLink&) = delete;

  // The next byte from the host, not before it has crossed the wire. False
  // when timeoutMs passes (< 0: wait until Stop) or the link is stopped.
  bool Read(uint8_t& byte, int timeoutMs);
  // Queues a reply toward the host; returns at once.
  void Send(const std::vector<uint8_t>& bytes);
  void Send(const std::string& bytes);
  void Send(const uint8_t* bytes, size_t count);
  // Waits until everything queued has been handed to the host (or Stop).
  void Flush();
  // Line rate for bytes from now on, both ways (0: no pacing).
  void SetBaud(uint32_t baud);
  uint32_t Baud() const;
  // The adapter's latency timer (a low-latency request lowers it to 1 ms).
  void SetAdapterLatency(int ms);
  // Drops host bytes not yet taken (a target that resets its receiver).
  void DiscardInput();
  // Drops target bytes not yet handed over (a target that goes away).
  void DiscardOutput();
  // Stops and joins the thread; safe to call twice.
  void Stop();

  uint64_t BytesIn() const;
  uint64_t BytesOut() const;
  // steady_clock nanoseconds at which the first and the last host byte
  // finished crossing the wire (0 before any).
  int64_t FirstInNs() const;
  int64_t LastInNs() const;
  // When the last target byte was handed to the host (steady_clock ns).
  int64_t LastOutNs() const;

  static int64_t NowNs();

 private:
  struct Timed {
    int64_t due;
    uint8_t byte;
  };

  void Run();
  void Wake();
  int64_t ByteNsLocked() const;

  int fd_;
  int wakeFd_ = -1;
  int savedFlags_ = 0;
  SimLinkOptions options_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Timed> in_;   // host bytes, due = when they finished arriving
  std::deque<Timed> out_;  // target bytes, due = when the host gets them
  int64_t inWireEnd_ = 0;
  int64_t outWireEnd_ = 0;
  int64_t lastDelivery_ = 0;
  // The adapter packet still collecting bytes: its first index in out_
  // counted from outBase_, its byte count and the tick that will close it.
  uint64_t outBase_ = 0;       // total bytes ever popped from out_
  uint64_t packetStart_ = 0;   // absolute index of the packet's first byte
  size_t packetCount_ = 0;
  int64_t packetClose_ = 0;    // 0: no packet open
  int64_t epoch_ = 0;          // the adapter timer's phase
  std::mt19937 rng_;
  uint64_t bytesIn_ = 0;
  uint64_t bytesOut_ = 0;
  int64_t firstIn_ = 0;
  int64_t lastIn_ = 0;
  int64_t lastOut_ = 0;
  bool stop_ = false;
  bool stopped_ = false;
  std::thread thread_;
};
