// What went wrong, as a value: the image logic never prints.
#pragma once

namespace korvane {

enum class Error {
  Ok = 0,
  OpenFailed,   // the host refused to open or create a file (sysErr tells why)
  IoError,      // a read, write, flush or close failed (sysErr tells why)
  ShortRead,    // a file ended before the bytes it should hold
  Damaged,      // the image breaks the format's invariants
  Locked,       // another process held the image too long
  TooLarge,     // a size does not fit the format's 32-bit fields
  SameFile,     // the host file is the image itself
  NoSpace,      // not enough free blocks
  Exists,       // a file of that name is already stored
  NotStored,    // no file of that name is stored
};

struct [[nodiscard]] Status {
  Error code = Error::Ok;
  int sysErr = 0;       // errno for OpenFailed and IoError, else 0
  bool onHost = false;  // the failure concerns the host file, not the image
  // The change was made and made durable; only the cleanup after it failed.
  bool committed = false;

  bool ok() const { return code == Error::Ok; }
  static Status fail(Error c, int err = 0) { return {c, err, false, false}; }
  // The same failure, marked as the host file's.
  Status host() const { return {code, sysErr, true, committed}; }
};

}  // namespace korvane
