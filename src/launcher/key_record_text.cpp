#include "launcher/key_record.hpp"

#include "launcher/manifest.hpp"

// Apart from the parser: the updater and the tests write records, the loader only reads them.
std::string KeyRecordText(const KeyRecord& record) {
  std::string text = std::string(kKeyRecordFormat) + "\nproduct " + record.product + "\nversion " +
                     std::to_string(record.version) + "\n";
  for (const Sha256& key : record.keys) text += "key " + HexOf(key) + "\n";
  return text;
}
