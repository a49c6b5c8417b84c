#include "tests/support/simulated_disk.h"

#include <filesystem>
#include <fstream>

#include "platform/file_identity.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "tests/support/temp_dir.h"

namespace vmrk::test {
namespace {

namespace fs = std::filesystem;

std::string Parent(const std::string& path) {
  const size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

bool Below(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

// The model's spelling of a path: one separator, so that the transaction's
// native paths, mixed ones and the folder walk's all meet.
std::string Key(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

// The error a real disk gives for each kind of call.
Status Injected(const std::string& call) {
  const bool room = call == "write" || call == "append" || call == "mkdir" || call == "place";
  return Status::Error("injected fault in " + call + ": " + (room ? "No space left on device" : "Input/output error"));
}

// The real files are written without a flush: what is durable is the model's
// business, and a thousand fsyncs a test would only make it slow.
bool WriteUnsynced(const std::string& path, std::string_view bytes, bool append) {
  std::ofstream out(PathOf(path), std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

}  // namespace

SimulatedDisk::SimulatedDisk(std::string root) : root_(Key(std::move(root))) {
  for (auto it = fs::recursive_directory_iterator(PathOf(root_)); it != fs::recursive_directory_iterator(); ++it) {
    const std::string path = Key(Utf8Of(it->path()));
    if (it->is_directory()) {
      state_.current.folders.insert(path);
    } else if (it->is_regular_file()) {
      const int inode = ++state_.nextInode;
      state_.current.names[path] = inode;
      state_.current.inodes[inode] = ReadContent(path);
    }
  }
  state_.durable = state_.current;
}

void SimulatedDisk::AddVolume(const std::string& folder) { volumes_.push_back(Key(folder)); }

void SimulatedDisk::Reset(size_t failAt, size_t stopAt) {
  failAt_ = failAt;
  stopAt_ = stopAt;
  calls_ = 0;
  callNames_.clear();
}

bool SimulatedDisk::Enter(const std::string& name) {
  ++calls_;
  callNames_.push_back(name);
  if (calls_ == stopAt_) throw ProcessStopped{};
  return calls_ != failAt_;
}

int SimulatedDisk::VolumeOf(const std::string& native) const {
  const std::string path = Key(native);
  for (size_t i = 0; i < volumes_.size(); ++i)
    if (path == volumes_[i] || Below(path, volumes_[i])) return static_cast<int>(i) + 1;
  return 0;
}

SimulatedDisk::Content SimulatedDisk::ReadContent(const std::string& path) const {
  Content content;
  platform::ReadWholeFile(path, &content.bytes).IgnoreError();
  if (Result<std::int64_t> time = platform::FileModifiedTime(path); time.ok()) content.time = *time;
  std::error_code error;
  content.mode = static_cast<unsigned>(fs::status(PathOf(path), error).permissions()) & 0777;
  return content;
}

void SimulatedDisk::Apply(Tree& tree, const Op& op) const {
  auto parentThere = [&](const std::string& path) {
    const std::string parent = Parent(path);
    return tree.folders.count(parent) > 0 || !Below(parent, root_);
  };
  switch (op.kind) {
    case Op::kLink:
      if (!parentThere(op.a)) return;
      tree.names[op.a] = op.inode;
      if (!tree.inodes.count(op.inode)) tree.inodes[op.inode] = op.content;
      return;
    case Op::kUnlink: tree.names.erase(op.a); return;
    case Op::kRename: {
      auto from = tree.names.find(op.a);
      if (from == tree.names.end() || !parentThere(op.b)) return;
      const int inode = from->second;
      tree.names.erase(from);
      tree.names[op.b] = inode;
      return;
    }
    case Op::kMkdir:
      if (parentThere(op.a)) tree.folders.insert(op.a);
      return;
    case Op::kRmdir: {
      for (const auto& [name, inode] : tree.names)
        if (Below(name, op.a)) return;
      for (const std::string& folder : tree.folders)
        if (Below(folder, op.a)) return;
      tree.folders.erase(op.a);
      return;
    }
    case Op::kData: tree.inodes[op.inode] = op.content; return;
  }
}

void SimulatedDisk::Record(Op op) {
  op.a = Key(op.a);
  op.b = Key(op.b);
  if (op.kind != Op::kData) op.folder = Parent(op.kind == Op::kRename ? op.b : op.a);
  if (op.kind != Op::kData) op.volume = VolumeOf(op.a);
  Apply(state_.current, op);
  state_.pending.push_back(std::move(op));
}

void SimulatedDisk::MakeDurable(const std::set<std::string>& folders, const std::set<int>& volumes, int inode) {
  std::vector<Op> still;
  for (Op& op : state_.pending) {
    const bool covered = (op.kind != Op::kData && folders.count(op.folder)) || volumes.count(op.volume) ||
                         (op.kind == Op::kData && op.inode == inode);
    if (covered) Apply(state_.durable, op);
    else still.push_back(std::move(op));
  }
  state_.pending = std::move(still);
}

void SimulatedDisk::Restart(std::uint64_t keep) {
  Tree image = state_.durable;
  for (size_t i = 0; i < state_.pending.size(); ++i)
    if (i >= 64 || (keep >> i & 1) != 0) Apply(image, state_.pending[i]);
  state_.pending.clear();
  state_.durable = state_.current = image;
  Materialize(image);
}

void SimulatedDisk::Materialize(const Tree& tree) {
  for (const auto& entry : fs::directory_iterator(PathOf(root_))) fs::remove_all(entry.path());
  for (const std::string& folder : tree.folders) fs::create_directories(PathOf(folder));
  std::map<int, std::string> first;
  for (const auto& [name, inode] : tree.names) {
    if (auto linked = first.find(inode); linked != first.end()) {
      fs::create_hard_link(PathOf(linked->second), PathOf(name));
      continue;
    }
    first[inode] = name;
    const Content& content = tree.inodes.at(inode);
    if (!WriteUnsynced(name, content.bytes, false)) throw std::runtime_error("cannot lay " + name);
    fs::permissions(PathOf(name), static_cast<fs::perms>(content.mode));
    if (!platform::SetFileModifiedTime(name, content.time).ok()) throw std::runtime_error("cannot date " + name);
  }
}

SimulatedDisk::State SimulatedDisk::Save() const { return state_; }

void SimulatedDisk::Load(const State& state) {
  state_ = state;
  Materialize(state_.current);
}

bool SimulatedDisk::Exists(const std::string& path) { return platform::PathExists(path); }

bool SimulatedDisk::IsFolder(const std::string& path) { return platform::IsFolder(path); }

Status SimulatedDisk::ReadWholeFile(const std::string& path, std::string* bytes) {
  return platform::ReadWholeFile(path, bytes);
}

Status SimulatedDisk::CreateFolder(const std::string& path) {
  if (!Enter("mkdir")) return Injected("mkdir");
  Status made = platform::CreateFolder(path);
  if (made.ok()) Record({Op::kMkdir, path});
  return made;
}

Status SimulatedDisk::RemoveFile(const std::string& path) {
  if (!Enter("remove")) return Injected("remove");
  Status removed = platform::RemoveFile(path);
  if (removed.ok()) Record({Op::kUnlink, path});
  return removed;
}

Status SimulatedDisk::RemoveEmptyFolder(const std::string& path) {
  if (!Enter("rmdir")) return Injected("rmdir");
  Status removed = platform::RemoveEmptyFolder(path);
  if (removed.ok()) Record({Op::kRmdir, path});
  return removed;
}

Status SimulatedDisk::PlaceFile(const std::string& source, const std::string& placed, const std::string& permissionsOf) {
  if (!Enter("place")) return Injected("place");
  if (VolumeOf(source) == VolumeOf(placed)) {
    Status put = platform::PlaceFile(source, placed, permissionsOf);
    if (!put.ok()) return put;
    const int inode = state_.current.names.at(Key(source));
    Record({Op::kLink, placed, "", inode});
    if (!platform::PathExists(source)) Record({Op::kUnlink, source});
    Op mode{Op::kData, "", "", inode, ReadContent(placed)};
    mode.volume = VolumeOf(placed);
    Record(mode);
    return put;
  }
  Status copied = platform::CopyToNew(source, placed, permissionsOf);
  if (!copied.ok()) return copied;
  const int inode = ++state_.nextInode;
  Content content = ReadContent(placed);
  Record({Op::kLink, placed, "", inode, Content{"", content.time, content.mode}});
  Op data{Op::kData, "", "", inode, content};
  data.volume = VolumeOf(placed);
  Record(data);
  return copied;
}

Status SimulatedDisk::RenameNoReplace(const std::string& from, const std::string& to) {
  if (!Enter("rename")) return Injected("rename");
  Status moved = platform::RenameNoReplace(from, to);
  if (moved.ok()) Record({Op::kRename, from, to});
  return moved;
}

Status SimulatedDisk::RenameReplacing(const std::string& from, const std::string& to) {
  if (!Enter("rename")) return Injected("rename");
  Status moved = platform::RenameReplacing(from, to);
  if (moved.ok()) Record({Op::kRename, from, to});
  return moved;
}

Status SimulatedDisk::WriteNewFile(const std::string& path, std::string_view bytes) {
  if (!Enter("write")) return Injected("write");
  if (platform::PathExists(path) || !WriteUnsynced(path, bytes, false)) return Status::Error("cannot create " + path);
  Status written;
  const int inode = ++state_.nextInode;
  const Content content = ReadContent(path);
  Record({Op::kLink, path, "", inode, Content{"", content.time, content.mode}});
  state_.current.inodes[inode] = state_.durable.inodes[inode] = content;  // flushed by the call itself
  return written;
}

Status SimulatedDisk::AppendDurably(const std::string& path, std::string_view bytes) {
  if (!Enter("append")) return Injected("append");
  if (!WriteUnsynced(path, bytes, true)) return Status::Error("cannot write " + path);
  Status written;
  auto name = state_.current.names.find(Key(path));
  int inode = 0;
  if (name == state_.current.names.end()) {
    inode = ++state_.nextInode;
    Record({Op::kLink, path, "", inode});
  } else {
    inode = name->second;
  }
  const Content content = ReadContent(path);
  state_.current.inodes[inode] = state_.durable.inodes[inode] = content;
  MakeDurable({}, {}, inode);  // what was pending of its bytes is on disk too
  return written;
}

Status SimulatedDisk::FlushFolder(const std::string& folder) {
  if (!Enter("flush folder")) return Injected("flush folder");
  if (!platform::IsFolder(folder)) return Status::Error("cannot open the folder " + folder);
  MakeDurable({Key(folder)}, {}, -1);
  return Status::Ok();
}

Status SimulatedDisk::FlushVolumes(const std::vector<std::string>& paths) {
  if (!Enter("flush volumes")) return Injected("flush volumes");
  std::set<int> volumes;
  for (const std::string& path : paths) {
    if (!platform::PathExists(path)) return Status::Error("cannot look at " + path);
    volumes.insert(VolumeOf(path));
  }
  MakeDurable({}, volumes, -1);
  return Status::Ok();
}

}  // namespace vmrk::test
