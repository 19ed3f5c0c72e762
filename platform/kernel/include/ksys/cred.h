// Caller credentials.
#pragma once

#include <sys/types.h>

struct cred_t {
  uid_t cr_uid;  // effective
  gid_t cr_gid;
  uid_t cr_ruid; // real
  gid_t cr_rgid;
};

// 0 when the credentials are privileged (effective user id 0), EPERM otherwise.
int drv_priv(cred_t* cr);
// The credentials of the calling context (a user context's caller; kernel contexts get
// privileged ones).
cred_t* ddi_get_cred();
