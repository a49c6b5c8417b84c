// A file system for the tests of the release transaction: the host's own,
// with the faults that a test cannot otherwise have put inside it.
//
// Every call is made on the real files below a root folder, and every call
// that changes something (or flushes) is counted. The Nth such call can
// fail (doing nothing), or the process can stop there: a kill, or a power
// cut. Beside the real files it keeps a model of what is durable: a file's
// bytes once written durably or flushed, a change of names once its folder
// or its volume is flushed. After a power cut, Restart puts on disk what a
// disk may hold after it: what was durable, plus any subset of the changes
// made since, replayed in order (POSIX allows them to land in any order).
// Paths below a folder named by AddVolume are on a second volume: a file is
// copied there rather than renamed, and flushes are per volume.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace vmrk::test {

// Thrown where the process stops: it unwinds the transaction as a kill
// would end it, with nothing run after the call.
struct ProcessStopped {};

class SimulatedDisk : public platform::FileSystem {
 public:
  // The tree below root as it is now counts as durable.
  explicit SimulatedDisk(std::string root);
  void AddVolume(const std::string& folder);

  // The next calls are counted from 1 again; 0 clears the fault.
  void FailAt(size_t call) { Reset(call, 0); }
  void StopAt(size_t call) { Reset(0, call); }
  // Changing calls made since the last FailAt or StopAt, and what each was.
  size_t calls() const { return calls_; }
  const std::vector<std::string>& callNames() const { return callNames_; }

  // Changes made but not yet durable, which a power cut may keep or lose.
  size_t pending() const { return state_.pending.size(); }
  // The power came back: the disk holds what was durable and the pending
  // changes whose bit is set in keep (bit i for the ith, oldest first; sizes
  // up to 64 are enumerated by the tests, larger ones sampled).
  void Restart(std::uint64_t keep);

  struct State;
  State Save() const;
  void Load(const State& state);

  bool Exists(const std::string& path) override;
  bool IsFolder(const std::string& path) override;
  Status ReadWholeFile(const std::string& path, std::string* bytes) override;
  Status CreateFolder(const std::string& path) override;
  Status RemoveFile(const std::string& path) override;
  Status RemoveEmptyFolder(const std::string& path) override;
  Status PlaceFile(const std::string& source, const std::string& placed, const std::string& permissionsOf) override;
  Status RenameNoReplace(const std::string& from, const std::string& to) override;
  Status RenameReplacing(const std::string& from, const std::string& to) override;
  Status WriteNewFile(const std::string& path, std::string_view bytes) override;
  Status AppendDurably(const std::string& path, std::string_view bytes) override;
  Status FlushFolder(const std::string& folder) override;
  Status FlushVolumes(const std::vector<std::string>& paths) override;

  struct Content {
    std::string bytes;
    std::int64_t time = 0;
    unsigned mode = 0644;
    bool operator==(const Content&) const = default;
  };
  struct Tree {
    std::set<std::string> folders;
    std::map<std::string, int> names;  // file path -> inode
    std::map<int, Content> inodes;
  };
  struct Op {
    enum Kind { kLink, kUnlink, kRename, kMkdir, kRmdir, kData } kind;
    std::string a, b;  // names (kRename: from a to b)
    int inode = 0;     // kLink, kData
    Content content;   // kData; kLink: what a new inode holds when its data is lost
    std::string folder;  // whose flush makes it durable ("" for kData)
    int volume = 0;
  };
  struct State {
    Tree durable, current;
    std::vector<Op> pending;
    int nextInode = 0;
  };

 private:
  void Reset(size_t failAt, size_t stopAt);
  // Counts the call; false when it is to fail. Throws where it is to stop.
  bool Enter(const std::string& name);
  int VolumeOf(const std::string& path) const;
  Content ReadContent(const std::string& path) const;
  void Record(Op op);
  void Apply(Tree& tree, const Op& op) const;
  void MakeDurable(const std::set<std::string>& folders, const std::set<int>& volumes, int inode);
  void Materialize(const Tree& tree);

  std::string root_;
  std::vector<std::string> volumes_;
  State state_;
  size_t calls_ = 0, failAt_ = 0, stopAt_ = 0;
  std::vector<std::string> callNames_;
};

}  // namespace vmrk::test
