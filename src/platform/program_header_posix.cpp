#include "platform/program_header.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

boost::system::error_code ReadProgramHeader(const NativeString& program, std::string& header) {
  header.assign(kProgramHeaderBytes, '\0');
  std::size_t count = 0;
  const int descriptor = open(program.c_str(), O_RDONLY | O_CLOEXEC);
  int failure = descriptor < 0 ? errno : 0;
  while (failure == 0 && count < header.size()) {
    const ssize_t read = ::read(descriptor, header.data() + count, header.size() - count);
    if (read < 0 && errno == EINTR) continue;
    if (read <= 0) {
      failure = read < 0 ? errno : 0;
      break;
    }
    count += static_cast<std::size_t>(read);
  }
  if (descriptor >= 0) close(descriptor);
  header.resize(count);
  return {failure, boost::system::system_category()};
}
