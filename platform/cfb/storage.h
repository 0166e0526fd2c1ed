// The COM faces of the engine: IStorage, IStream and IEnumSTATSTG objects
// over one Document, with the reference counting, invalidation ("reverted")
// and one-open-per-element rules of the compound-file implementation.
#pragma once
#include <objbase.h>
#include <objidl.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "cfb/document.h"
#include "cfb/sharing.h"

namespace velmora::cfb {

// One opened element (storage or stream); its faces (a stream and its
// clones) share it. Reverted when its parent storage goes away, when it is
// destroyed or replaced.
struct OpenNode {
  StreamId sid = 0;
  bool reverted = false;
  std::vector<std::weak_ptr<OpenNode>> children;
};

// State shared by a root storage and everything opened through it.
struct Shared {
  Shared() : Shared(std::make_shared<std::recursive_mutex>()) {}
  explicit Shared(std::shared_ptr<std::recursive_mutex> m)
      : mutexHolder(std::move(m)), mutex(*mutexHolder) {}
  // Roots that share one document (see api.cpp) share its mutex too.
  std::shared_ptr<std::recursive_mutex> mutexHolder;
  std::recursive_mutex& mutex;
  std::shared_ptr<Document> doc;
  std::unordered_map<StreamId, std::weak_ptr<OpenNode>> open;
  SharingLocks locks;
  std::u16string path;     // full path, for Stat; resolved when first asked for
  std::string nativePath;  // for delete-on-release and the file's times
  bool deleteOnRelease = false;
  // The file's identity (device, inode), for a priority read root that
  // other priority reads of the same file may share.
  uint64_t device = 0, inode = 0;

  // Reverts `node` and everything opened below it.
  void revert(const std::shared_ptr<OpenNode>& node);
  // Reverts open elements no longer in the tree (after a destroy).
  void revertUnreachable();
  // Writes changes, drops the locks and closes the file.
  void close();
};

// The absolute path of `native` with links resolved, as Stat names a root.
std::u16string fullPath(const std::string& native);

// Turns a Result into the HRESULT of an interface method.
template <typename T>
HRESULT toHresult(const Result<T>& r) {
  return r.ok() ? S_OK : base::report(r.error());
}

using base::atBoundary;

// The start of every call on an open element: the shared mutex held for
// the whole call, and the element's state read under it. A call on an
// element reverted before it answers STG_E_REVERTED.
class ElementGuard {
 public:
  ElementGuard(Shared& shared, const OpenNode& node) : m_lock(shared.mutex), m_node(node) {}
  bool reverted() const { return m_node.reverted; }

 private:
  std::lock_guard<std::recursive_mutex> m_lock;
  const OpenNode& m_node;
};

// An interface method's body on an open element: at the API boundary,
// under an ElementGuard, refused with STG_E_REVERTED once the element is
// reverted.
template <typename Body>
HRESULT onOpenElement(Shared& shared, const OpenNode& node, Body&& body) {
  return atBoundary([&]() -> HRESULT {
    ElementGuard guard(shared, node);
    if (guard.reverted()) return STG_E_REVERTED;
    return body();
  });
}

// A new storage object for element `sid` (0 for the root) with `mode`.
IStorage* makeStorage(std::shared_ptr<Shared> shared, std::shared_ptr<OpenNode> node, DWORD mode,
                      bool root);
IStream* makeStream(std::shared_ptr<Shared> shared, std::shared_ptr<OpenNode> node, DWORD mode,
                    uint64_t position);
IEnumSTATSTG* makeEnum(IStorage* owner, std::shared_ptr<Shared> shared,
                       std::shared_ptr<OpenNode> node);

// Fills `st` for element `sid` from its directory entry; the name comes
// from the task allocator unless `noName`.
HRESULT fillStat(Document& doc, StreamId sid, STATSTG* st, bool noName);

// Checks an element name: NULL, empty, longer than 31 characters or holding
// / \ : ! gives STG_E_INVALIDNAME.
HRESULT checkName(const OLECHAR* name, std::u16string* out);

// Opens the root of a compound file that lives in `file` (the seam tests use
// to put a failing or crashing file under the engine).
HRESULT openStorageOnFile(std::unique_ptr<File> file, DWORD mode, IStorage** out);
HRESULT createStorageOnFile(std::unique_ptr<File> file, int version, IStorage** out);

// Verifies the whole structure of the compound file in `file` (check.cpp).
// `strict` also demands what a writer must produce:
// red-black trees, no leaked sectors, no unreachable allocated entries.
[[nodiscard]] Result<void> checkIntegrity(File& file, bool strict);

// How much a finding of surveyIntegrity matters: damage that loses data (a
// read fails or gives another stream's bytes), damage the reader steps over
// (it serves the rest), or what real producers write and readers accept.
enum class Severity { LosesData, SteppedOver, Oddity };
struct Finding {
  Severity severity;
  Error error;
  // The element of the entry the finding names ("ObjectPool/_1/\1Ole"), as
  // far as the tree reaches it; empty when it names none.
  std::u16string path = {};
};
// Every finding of a strict check of `file`, in the order the check meets
// them; a file that does not open at all gives that refusal as its one
// finding. Empty for a sound file.
std::vector<Finding> surveyIntegrity(File& file);

}  // namespace velmora::cfb
