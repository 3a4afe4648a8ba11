#include "platform/file_ops.hpp"

#include <boost/filesystem/operations.hpp>

// The library's move already refuses to replace an existing directory here.
boost::system::error_code RenamePath(const boost::filesystem::path& from, const boost::filesystem::path& to) {
  boost::system::error_code error;
  boost::filesystem::rename(from, to, error);
  return error;
}
