#include "launcher/trust.hpp"

#include "accepted_publishers.hpp"

// Apart from the rest of the rule, so that a test program can be built with another list.
bool AcceptedPublisher(const NativeString& signer, const NativeString& publisher) {
  return AcceptedPublisher(signer, publisher, std::vector<NativeString>(kAcceptedPublishers.begin(), kAcceptedPublishers.end()));
}
