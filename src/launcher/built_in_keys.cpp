#include "launcher/key_record.hpp"

#include "publisher_keys.hpp"

// Apart from the rest of the record's code, so that a test program can be built with another record.
KeyRecord BuiltInKeyRecord() {
  KeyRecord record;
  record.product = kBuiltInKeysProduct;
  record.version = kBuiltInKeysVersion;
  record.keys.assign(kBuiltInKeys.begin(), kBuiltInKeys.end());
  return record;
}
