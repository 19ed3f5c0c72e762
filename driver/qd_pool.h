// The packet pool and each unit's outgoing FAS chain.
//
// Every outgoing FAS command is reserved at the tail of its unit's chain (qdm_putfas,
// after qdm_spaceleft when it packs data); the transport takes packets off the head.
// Answers arrive in the unit's receive packet and are cut out one by one with
// qdm_getfasresponse. Packets come from the tracked allocator and are never given back
// before unload.
#pragma once

#include <cstdint>

#include "ksys/mutex.h"
#include "qd.h"

struct qd_unit;

inline constexpr unsigned char QD_PKT_FILL = 0xCC; // reserved but unwritten bytes
inline constexpr unsigned char QD_PKT_PAST = 0xDD; // bytes beyond the packet's size
inline constexpr int QD_PKT_GROW = 6;              // packets created per grow
// Free bytes that qdm_spaceleft wants in the tail: more than a header and a little data.
inline constexpr int QD_PKT_MIN_ROOM = 23;
// What a Lanvara unit's receive packet holds.
inline constexpr int QD_VRN_RCV_SPACE = 4094;

struct qd_pkt_pool {
  qd_pkt* qd_pkt_free; // last in, first out
  int qd_pkt_cnt;      // packets ever created
  kmutex_t qmx_mutex;  // initialised at load: probe grows the pool before the driver's init
};
extern qd_pkt_pool qd_pkts;

// Creates n zeroed packets onto the free list; returns how many it made (it stops at the
// first that memory refuses, with a warning). Takes "qmx_mutex".
int qdm_allocmorepkts(int n);
// A packet of len bytes (1 to 4096): pointers at the start, len - 1 bytes reservable,
// bytes below len filled 0xCC and the rest 0xDD. Grows the pool when it is empty; null
// (with a warning) when no packet can be had.
qd_pkt* qdm_getpkt(int len);
// Back onto the free list.
void qdm_freepkt(qd_pkt* pkt);

// The packet size of the unit's model; 4096 for global_unit, which has none.
int qdm_pktsize(const qd_unit* up);

// The rest is called with the unit's "unit_mutex" held.

// Makes sure the tail packet has more than 23 bytes free and returns its room minus 8:
// the most data one more command header can carry in the tail. 0 when no packet can be had.
int qdm_spaceleft(qd_unit* up);
// n > 0: reserves n bytes at the tail (a new packet when the tail has less room) and
// returns where they start. n < 0: gives back the last -n bytes reserved in the tail
// packet, refilling them with 0xCC. Null, with nothing changed, when no packet can be
// had, when n is more than a packet can hold, or when -n is more than the tail holds.
unsigned char* qdm_putfas(qd_unit* up, int n);
// Returns every packet of the outgoing chain to the pool; the chain is empty after.
void qdm_freechain(qd_unit* up);

// The next whole answer in the unit's receive packet, or null when there is none.
//
// The answers read are bounded by the receive packet's qd_wptr: for a SCSI unit the
// transport sets it behind the bytes the READ delivered, for a Lanvara unit the unit
// node's write side behind the bytes the relay daemon wrote. A SCSI batch ends at
// PKT_END or where the delivered bytes end. A Lanvara answer that is not complete yet is
// moved to the start of the packet to wait for the rest.
//
// *malformed (when given) is set to 0 at every call and to 1 when the batch cannot be
// parsed: a SCSI answer (or its header) runs past the delivered bytes, or a Lanvara
// answer is larger than the 4094 bytes the receive packet holds. The result is then null
// and the packet is left as it is (qd_rptr at the bad answer), so that the caller can dump
// it, discard the rest and take the unit offline; calling again reports the same.
unsigned char* qdm_getfasresponse(qd_unit* up, int* malformed);

// A Lanvara unit's receive packet: taken with 4096 bytes and holding 4094 from the start.
qd_pkt* qdm_vrn_getrcvpkt();
// Empties a Lanvara receive packet: both pointers at the start, 4094 bytes of room.
void qdm_vrn_resetrcvpkt(qd_pkt* pkt);
