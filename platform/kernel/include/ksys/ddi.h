// Device information tree, properties and minor nodes, as drivers see them.
#pragma once

#include <sys/stat.h> // S_IFCHR, S_IFBLK

#include "ksys/types.h"

// A node of the device tree. Drivers only ever hold pointers to it.
struct dev_info;
using dev_info_t = dev_info;

inline constexpr int DDI_SUCCESS = 0;
inline constexpr int DDI_FAILURE = -1;

// Device numbers that stand for "any device" and "no device" in property calls.
inline constexpr dev_t DDI_DEV_T_NONE = static_cast<dev_t>(-1);
inline constexpr dev_t DDI_DEV_T_ANY = static_cast<dev_t>(-2);

// ---- Nodes ----------------------------------------------------------------------------------

// The name the node is bound by (a driver's children: the driver name).
const char* ddi_get_name(dev_info_t* dip);
// The node's own name in the tree.
const char* ddi_node_name(dev_info_t* dip);
dev_info_t* ddi_get_parent(dev_info_t* dip);
dev_info_t* ddi_root_node();
int ddi_get_instance(dev_info_t* dip);
void* ddi_get_driver_private(dev_info_t* dip);
void ddi_set_driver_private(dev_info_t* dip, void* data);
// Announces an attached device. Recorded on the node; prints nothing on the console.
void ddi_report_dev(dev_info_t* dip);

// ---- Properties -----------------------------------------------------------------------------

// Search flags.
inline constexpr int DDI_PROP_DONTPASS = 0x1; // this node only, not its parents
inline constexpr int DDI_PROP_CANSLEEP = 0x4;
inline constexpr int DDI_PROP_NOTPROM = 0x8;

// Results of ddi_prop_op.
inline constexpr int DDI_PROP_SUCCESS = 0;
inline constexpr int DDI_PROP_NOT_FOUND = 1;
inline constexpr int DDI_PROP_UNDEFINED = 2;
inline constexpr int DDI_PROP_NO_MEMORY = 3;
inline constexpr int DDI_PROP_INVAL_ARG = 4;
inline constexpr int DDI_PROP_BUF_TOO_SMALL = 5;

enum ddi_prop_op_t {
  PROP_LEN = 0,             // report the length only
  PROP_LEN_AND_VAL_BUF = 1, // copy into the caller's buffer of *lengthp bytes
};

// An integer property of the node (and, without DDI_PROP_DONTPASS, of its parents),
// or defvalue. A property of zero length reads as 1; one that is not an integer reads
// as defvalue.
int ddi_getprop(dev_t dev, dev_info_t* dip, int flags, const char* name, int defvalue);

// Looks a property up. *lengthp is always set to the value's length (a string's length
// counts its terminating NUL). With PROP_LEN_AND_VAL_BUF the value is copied into valuep
// only when it fits into the *lengthp bytes given, else DDI_PROP_BUF_TOO_SMALL.
// Integer properties are native ints.
int ddi_prop_op(dev_t dev, dev_info_t* dip, ddi_prop_op_t prop_op, int flags, const char* name,
                caddr_t valuep, int* lengthp);

// ---- Minor nodes ----------------------------------------------------------------------------

// Node types (plain texts).
inline constexpr const char DDI_PSEUDO[] = "ddi_pseudo";
inline constexpr const char DDI_NT_SERIAL[] = "ddi_serial";
inline constexpr const char DDI_NT_SERIAL_DO[] = "ddi_serial:dialout";

inline constexpr int CLONE_DEV = 1; // flag: a clone node

// Creates a device node for the driver bound to dip. Names are unique system-wide, and so
// is (device number, spec_type). DDI_SUCCESS or DDI_FAILURE.
int ddi_create_minor_node(dev_info_t* dip, const char* name, int spec_type, minor_t minor_num,
                          const char* node_type, int flag);
// Removes the named node of dip, or with a null name every node of dip.
void ddi_remove_minor_node(dev_info_t* dip, const char* name);
