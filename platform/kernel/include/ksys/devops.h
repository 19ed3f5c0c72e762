// A driver's entry tables: the autoconfiguration entries (dev_ops) and the character
// device entries (cb_ops), and the stand-in entries nodev, nulldev, nochpoll.
#pragma once

#include <cerrno>

#include "ksys/cred.h"
#include "ksys/ddi.h"
#include "ksys/types.h"

struct buf;
struct uio;
struct pollhead;
struct streamtab;
struct bus_ops;
struct devmap_info;
struct as;
struct aio_req;

enum ddi_attach_cmd_t { DDI_ATTACH = 0, DDI_RESUME = 1 };
enum ddi_detach_cmd_t { DDI_DETACH = 0, DDI_SUSPEND = 1 };
enum ddi_reset_cmd_t { DDI_RESET_FORCE = 0 };
enum ddi_info_cmd_t { DDI_INFO_DEVT2DEVINFO = 0, DDI_INFO_DEVT2INSTANCE = 1 };

inline constexpr int DDI_IDENTIFIED = 0;
inline constexpr int DDI_NOT_IDENTIFIED = -1;

inline constexpr int DDI_PROBE_DONTCARE = 0; // counts as success
inline constexpr int DDI_PROBE_PARTIAL = 1;
inline constexpr int DDI_PROBE_SUCCESS = 2;
inline constexpr int DDI_PROBE_FAILURE = ENXIO;

inline constexpr int DEVO_REV = 3;
inline constexpr int CB_REV = 0;

// cb_flag bits.
inline constexpr int D_NEW = 0x00;
inline constexpr int D_MP = 0x20; // the driver does its own locking

struct cb_ops {
  // Character entries; a STREAMS driver (cb_str set) is opened and closed through its
  // streamtab, and these two are never called for it.
  int (*cb_open)(dev_t* devp, int flag, int otyp, cred_t* credp);
  int (*cb_close)(dev_t dev, int flag, int otyp, cred_t* credp);
  int (*cb_strategy)(buf* bp);
  int (*cb_print)(dev_t dev, char* str);
  int (*cb_dump)(dev_t dev, caddr_t addr, long blkno, int nblk);
  int (*cb_read)(dev_t dev, uio* uiop, cred_t* credp);
  int (*cb_write)(dev_t dev, uio* uiop, cred_t* credp);
  int (*cb_ioctl)(dev_t dev, int cmd, intptr_t arg, int mode, cred_t* credp, int* rvalp);
  int (*cb_devmap)(dev_t dev, devmap_info* dhp, long off, std::size_t len, std::size_t* maplen,
                   uint_t model);
  int (*cb_mmap)(dev_t dev, long off, int prot);
  int (*cb_segmap)(dev_t dev, long off, as* asp, caddr_t* addrp, long len, uint_t prot,
                   uint_t maxprot, uint_t flags, cred_t* credp);
  int (*cb_chpoll)(dev_t dev, short events, int anyyet, short* reventsp, pollhead** phpp);
  int (*cb_prop_op)(dev_t dev, dev_info_t* dip, ddi_prop_op_t prop_op, int mod_flags,
                    const char* name, caddr_t valuep, int* lengthp);
  streamtab* cb_str; // set for a STREAMS driver
  int cb_flag;
  int cb_rev;
  int (*cb_aread)(dev_t dev, aio_req* aio, cred_t* credp);
  int (*cb_awrite)(dev_t dev, aio_req* aio, cred_t* credp);
};

struct dev_ops {
  int devo_rev;
  int devo_refcnt;
  int (*devo_getinfo)(dev_info_t* dip, ddi_info_cmd_t infocmd, void* arg, void** result);
  int (*devo_identify)(dev_info_t* dip);
  int (*devo_probe)(dev_info_t* dip);
  int (*devo_attach)(dev_info_t* dip, ddi_attach_cmd_t cmd);
  int (*devo_detach)(dev_info_t* dip, ddi_detach_cmd_t cmd);
  int (*devo_reset)(dev_info_t* dip, ddi_reset_cmd_t cmd);
  cb_ops* devo_cb_ops;
  bus_ops* devo_bus_ops;
  int (*devo_power)(dev_info_t* dip, int component, int level);
};

namespace ksys_detail {

// An entry that fits any slot of the tables above: it converts to every function pointer
// type with an int result, and the function it becomes returns Result.
template <int Result> struct AnyEntry {
  template <typename... Args> using entry_t = int (*)(Args...);
  template <typename... Args> constexpr operator entry_t<Args...>() const {
    return [](Args...) -> int { return Result; };
  }
  constexpr int operator()() const { return Result; }
};

} // namespace ksys_detail

// No such operation: ENXIO.
inline constexpr ksys_detail::AnyEntry<ENXIO> nodev{};
// Nothing to do: success.
inline constexpr ksys_detail::AnyEntry<0> nulldev{};
// Not pollable.
inline constexpr ksys_detail::AnyEntry<ENXIO> nochpoll{};
