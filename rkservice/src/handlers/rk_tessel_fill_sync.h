// The sync documents of the form-fill card stores. An export hands out every
// card of one store and counts them as synchronised from then on; an import
// replaces every synchronised card with the document's cards and keeps those
// added since the last export.
#ifndef RKSERVICE_SRC_HANDLERS_RK_TESSEL_FILL_SYNC_H_
#define RKSERVICE_SRC_HANDLERS_RK_TESSEL_FILL_SYNC_H_

#include <functional>
#include <string>

#include "rk_storage.h"

namespace rkservice {

class RkTesselFillSync {
 public:
  enum Accept { kObjectOrArray, kArrayOnly };

  // The document of the card type's store; "" when the store cannot be read
  // or its not-yet-synced record cannot be cleared. Both happen in one store
  // transaction, so a card added meanwhile is either handed out or stays
  // recorded.
  static std::string Export(rkstorage::RkStorage& store, int type);
  // Deletes the synchronised cards and writes the document's in one store
  // transaction. False, with the store as it was, for a document of another
  // shape, for items of which none is usable, or when a write fails.
  static bool Import(rkstorage::RkStorage& store, const std::string& document, Accept accept);

#ifdef RKSERVICE_TEST_HOOKS
  // Runs inside an export, after the cards are read and before the record is
  // cleared.
  static void SetExportHookForTesting(std::function<void()> hook);
#endif
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_TESSEL_FILL_SYNC_H_
