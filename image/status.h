// What went wrong, as a value: the image logic never prints.
#pragma once

namespace korvane {

enum class Error {
  Ok = 0,
  // The disk image.
  OpenFailed,  // the host refused to open or create it (sysErr tells why)
  IoError,     // a read, write, flush or close failed (sysErr tells why)
  ShortRead,   // it ends before the bytes it should hold
  Damaged,     // it breaks the format's invariants
  Locked,      // another process held it too long
  TooLarge,    // an image of that size does not fit the format's 32-bit fields
  // The host file copied in or out.
  HostOpenFailed,  // the host refused to open or create it (sysErr tells why)
  HostIoError,     // a read, write or close failed (sysErr tells why)
  HostChanged,     // it ended early: it changed while it was copied
  FileTooLarge,    // it holds more than a stored file can
  // The request itself.
  SameFile,   // the host file is the image itself
  NoSpace,    // not enough free blocks
  Exists,     // a file of that name is already stored
  NotStored,  // no file of that name is stored
  NameTooLong,  // the name does not fit the name field
};

struct [[nodiscard]] Status {
  Error code = Error::Ok;
  int sysErr = 0;  // errno for the open and I/O failures, else 0

  bool ok() const { return code == Error::Ok; }
  static Status fail(Error c, int err = 0) { return {c, err}; }
  // The same failure, met on the host file rather than on the image.
  Status host() const {
    switch (code) {
      case Error::OpenFailed: return {Error::HostOpenFailed, sysErr};
      case Error::IoError: return {Error::HostIoError, sysErr};
      case Error::ShortRead: return {Error::HostChanged, sysErr};
      default: return *this;
    }
  }
};

}  // namespace korvane
