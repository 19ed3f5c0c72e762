// A scripted stand-in for kvipserv's UDP sockets: each wait either times out (the clock
// moves by the wait's seconds) or delivers the next datagram; what the program sends,
// connects to and enters in the ARP table is recorded. A script that runs out throws, so
// a routine that would wait for ever fails the test instead.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

#include "qdnet/ipserv.h"

namespace nettest {

using Bytes = std::vector<std::uint8_t>;

struct Turn {
  int wait = 1;     // what the wait returns: 1 a datagram, 0 silence, -1 failure
  Bytes datagram;   // when wait is 1
  int recv_err = 0; // receive fails with this errno instead
  sockaddr_in from{};
  std::time_t at = 0; // when not 0: what the clock reads once the datagram has come
};

inline Turn silence() {
  return Turn{0, {}, 0, {}, 0};
}
inline Turn datagram(Bytes d, sockaddr_in from = {}) {
  return Turn{1, std::move(d), 0, from, 0};
}

class FakeLink final : public qdnet::ipserv::DatagramLink {
public:
  struct Arp {
    in_addr_t addr;
    Bytes hw;
  };
  struct SentTo {
    Bytes datagram;
    sockaddr_in to;
  };

  std::deque<Turn> turns;
  // Asked for the next turn once `turns` is empty.
  std::function<Turn(const FakeLink&)> respond;
  std::time_t clock = 1000;
  std::vector<int> waits; // seconds of each wait
  std::vector<Bytes> sent;
  std::vector<SentTo> sent_to;
  std::vector<sockaddr_in> connects;
  std::vector<Arp> arps;
  int connect_err = 0;
  int send_err = 0;
  int arp_err = 0;
  std::optional<std::size_t> send_short; // send reports this many bytes
  bool closed = false;

  int wait_readable(int seconds) override {
    waits.push_back(seconds);
    if (waits.size() > 100000) {
      throw std::runtime_error("the routine kept waiting");
    }
    if (turns.empty()) {
      if (!respond) {
        throw std::runtime_error("the script ran out");
      }
      turns.push_back(respond(*this));
    }
    if (turns.front().wait != 1) {
      const int w = turns.front().wait;
      turns.pop_front();
      clock += seconds;
      return w;
    }
    if (turns.front().at != 0) {
      clock = turns.front().at;
    }
    return 1;
  }
  ssize_t receive(std::uint8_t* buf, std::size_t n, sockaddr_in* from) override {
    Turn t = std::move(turns.front());
    turns.pop_front();
    if (t.recv_err != 0) {
      errno = t.recv_err;
      return -1;
    }
    const std::size_t len = std::min(n, t.datagram.size());
    std::memcpy(buf, t.datagram.data(), len);
    *from = t.from;
    return static_cast<ssize_t>(len);
  }
  int connect(const sockaddr_in& to) override {
    connects.push_back(to);
    return fail(connect_err);
  }
  ssize_t send(const std::uint8_t* buf, std::size_t n) override {
    if (send_err != 0) {
      errno = send_err;
      return -1;
    }
    sent.emplace_back(buf, buf + n);
    return static_cast<ssize_t>(send_short.value_or(n));
  }
  ssize_t send_to(const std::uint8_t* buf, std::size_t n, const sockaddr_in& to) override {
    sent_to.push_back({Bytes(buf, buf + n), to});
    return static_cast<ssize_t>(n);
  }
  int set_arp(in_addr_t addr, const std::uint8_t* hw, int n) override {
    arps.push_back({addr, Bytes(hw, hw + n)});
    return fail(arp_err);
  }
  void close() override { closed = true; }
  std::time_t now() override { return clock; }

private:
  static int fail(int err) {
    if (err == 0) {
      return 0;
    }
    errno = err;
    return -1;
  }
};

} // namespace nettest
