#include "install/staging.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <thread>

#include "install/file_time_stamp.h"
#include "install/release_transaction.h"
#include "platform/crypto.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "platform/large_files.h"
#include "platform/thread_annotations.h"
#include "updatelist/zstd_frames.h"

namespace vmrk {
namespace {

void EmptyIn(const std::string& folder, bool top) {
  Result<std::vector<platform::FolderEntry>> entries = platform::ListFolder(folder);
  if (!entries.ok()) return;
  const char sep = platform::PathSeparator();
  for (const platform::FolderEntry& entry : *entries) {
    const std::string path = folder + sep + entry.name;
    if (entry.isFolder && top && IsTransferFolderName(entry.name)) {
      EmptyIn(path, false);
      platform::RemoveEmptyFolder(path).IgnoreError();
    } else if (!entry.isFolder && (!top || entry.name != kJournalFile)) {
      platform::RemoveFile(path).IgnoreError();
    }
  }
}

// Past this a patch's output is written through a mapping, which the decoder
// reads back from, rather than held by the decoder: the bound on what one
// staged file costs in memory.
constexpr std::uint64_t kPatchHeldInMemory = std::uint64_t{8} << 20;
// How much decoded output stays mapped before it is handed to the system.
constexpr std::uint64_t kReleaseEvery = std::uint64_t{16} << 20;

// Past this a copy's file is hashed and written on a thread of its own.
constexpr std::uint64_t kPipedFrom = std::uint64_t{4} << 20;

Status Refused(std::string why) { return Status::Error(Status::Kind::kInvalid, std::move(why)); }
Status NotWritable(const Status& failed);

// Hashes and writes a staged file's pieces on a thread of its own while the
// decoder makes the next ones: decoding, hashing and writing a long copy
// take about as long each, and one after another took half again as long
// as zstd's own tool, which writes on a thread of its own too.
class PipedWriter {
 public:
  explicit PipedWriter(platform::OutputFile& file) : file_(file), thread_([this] { Run(); }) {}
  ~PipedWriter() { Close().IgnoreError(); }
  PipedWriter(const PipedWriter&) = delete;
  PipedWriter& operator=(const PipedWriter&) = delete;

  // A copy of the piece is queued; waits while kDepth are. The writer's
  // failure, once there is one, is every later call's.
  Status Push(std::string_view piece) EXCLUDES(mutex_) {
    std::string buffer;
    {
      MutexLock lock(mutex_);
      while (queue_.size() >= kDepth && failure_.ok()) changed_.wait(mutex_);
      if (!failure_.ok()) return failure_;
      if (!spare_.empty()) {
        buffer = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    // Buffers go round: a fresh 128 KiB each time would be a fresh mapping
    // to fault in, piece after piece.
    buffer.assign(piece);
    {
      MutexLock lock(mutex_);
      queue_.push_back(std::move(buffer));
    }
    changed_.notify_all();
    return Status::Ok();
  }

  // Every queued piece written, the thread ended: how the writing went.
  Status Close() EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      closing_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    MutexLock lock(mutex_);
    return failure_;
  }

  // The digest of every piece pushed; only after Close.
  platform::Sha256Digest Digest() { return hash_.Finish(); }

 private:
  static constexpr size_t kDepth = 4;

  void Run() EXCLUDES(mutex_) {
    bool failed = false;
    for (;;) {
      std::string piece;
      {
        MutexLock lock(mutex_);
        while (queue_.empty() && !closing_) changed_.wait(mutex_);
        if (queue_.empty()) return;
        piece = std::move(queue_.front());
        queue_.pop_front();
      }
      Status written = Status::Ok();
      if (!failed) {
        hash_.Update(piece);
        written = file_.Write(piece);
        failed = !written.ok();
      }
      {
        MutexLock lock(mutex_);
        if (!written.ok()) failure_ = NotWritable(written);
        spare_.push_back(std::move(piece));
      }
      changed_.notify_all();
    }
  }

  Mutex mutex_;
  std::condition_variable_any changed_;
  std::deque<std::string> queue_ GUARDED_BY(mutex_);
  std::vector<std::string> spare_ GUARDED_BY(mutex_);
  bool closing_ GUARDED_BY(mutex_) = false;
  Status failure_ GUARDED_BY(mutex_) = Status::Ok();
  platform::OutputFile& file_;  // the thread's alone until Close
  platform::Sha256 hash_;       // the thread's alone until Close
  std::thread thread_;          // last: it starts once everything above is made
};

Status NotWritable(const Status& failed) {
  return Status::Error(failed.kind(), "cannot be written here: " + failed.message());
}

// One row's frame staged as its bytes arrive: decoded, hashed and written at
// once, so that a file of any length costs a bounded amount of memory (a
// copy's window, or a patch's mapped base and output).
class FrameStager {
 public:
  explicit FrameStager(const DecodeTask& task) : task_(task) {}

  Status Start() {
    if (!task_.expected) return Refused("the manifest does not name the file");
    const std::uint64_t length = task_.expected->length;
    if (task_.about.patch) {
      // A patch applies only to the very file it was made from: hashed again
      // here, the installed file may have changed since it was checked.
      Result<platform::MappedFile> base = platform::MappedFile::Open(task_.target);
      if (!base.ok() || base->bytes().size() != task_.about.base.length ||
          platform::Sha256Bytes(base->bytes()) != task_.about.base.sha256)
        return Refused("the installed file is not the patch's base");
      base_ = std::move(base).value();
    }
    if (!platform::PathExists(task_.folder)) platform::CreateFolder(task_.folder).IgnoreError();
    platform::RemoveFile(task_.staged).IgnoreError();
    const std::string_view base = base_ ? base_->bytes() : std::string_view();
    if (task_.about.patch && length > kPatchHeldInMemory) {
      Result<platform::MappedOutput> output = platform::MappedOutput::Create(task_.staged, length);
      if (!output.ok()) return NotWritable(output.status());
      mapped_ = std::move(output).value();
      decoder_.emplace(base, length, mapped_->data(), [this](std::uint64_t) { HashMapped(); });
      return Status::Ok();
    }
    Result<platform::OutputFile> output = platform::OutputFile::Create(task_.staged);
    if (!output.ok()) return NotWritable(output.status());
    file_ = std::move(output).value();
    if (length > kPipedFrom) {
      piped_ = std::make_unique<PipedWriter>(*file_);
      decoder_.emplace(base, length, [this](std::string_view piece) { return piped_->Push(piece); });
      return Status::Ok();
    }
    decoder_.emplace(base, length, [this](std::string_view piece) {
      hash_.Update(piece);
      Status written = file_->Write(piece);
      return written.ok() ? written : NotWritable(written);
    });
    return Status::Ok();
  }

  Status Feed(std::string_view bytes) { return decoder_->Feed(bytes); }

  Status Finish() {
    if (!decoder_) return Status::Ok();  // never started
    Result<std::uint64_t> decoded = decoder_->Finish();
    mapped_.reset();
    base_.reset();
    const Status piped = piped_ ? piped_->Close() : Status::Ok();
    const platform::Sha256Digest digest = piped_ ? piped_->Digest() : hash_.Finish();
    piped_.reset();
    Status closed = file_ ? file_->Close() : Status::Ok();
    if (!decoded.ok()) return decoded.status();
    if (!piped.ok()) return piped;
    if (!closed.ok()) return NotWritable(closed);
    if (*decoded != task_.expected->length ||
        std::string(reinterpret_cast<const char*>(digest.data()), digest.size()) != task_.expected->sha256)
      return Refused("it decodes to other bytes than the manifest names");
    return Status::Ok();
  }

 private:
  // What the decoder wrote into the mapping since: hashed now, while its
  // pages are in memory, and let go of a stretch at a time (the decoder may
  // still reach back into it; the system reads it in again then).
  void HashMapped() {
    const std::uint64_t upTo = decoder_->decoded();
    hash_.Update(std::string_view(mapped_->data() + hashed_, static_cast<size_t>(upTo - hashed_)));
    hashed_ = upTo;
    if (hashed_ - released_ >= kReleaseEvery) {
      mapped_->Release(hashed_);
      released_ = hashed_;
    }
  }

  const DecodeTask& task_;
  std::optional<platform::MappedFile> base_;
  std::optional<platform::MappedOutput> mapped_;
  std::optional<platform::OutputFile> file_;
  std::unique_ptr<PipedWriter> piped_;  // after file_: it writes to it
  std::optional<FrameDecoder> decoder_;
  platform::Sha256 hash_;
  std::uint64_t hashed_ = 0, released_ = 0;
};

}  // namespace

std::string TransferFolderName(size_t number) { return std::to_string(number); }

bool IsTransferFolderName(std::string_view name) {
  return !name.empty() && name.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string LinkedStagedName(size_t row, std::string_view fileName) {
  return std::to_string(row) + "-" + std::string(fileName);
}

void EmptyStaging(const std::string& folder) { EmptyIn(folder, true); }

InstalledCheck CheckInstalled(const std::string& target, const ContentId& wanted, const std::string& staged,
                              const std::string& modified) {
  InstalledCheck check;
  Result<platform::FileDigest> installed = platform::Sha256OfFile(target);
  if (!installed.ok()) return check;
  check.installed = ContentId{installed->sha256, installed->length};  // a patch's base, perhaps
  if (installed->length != wanted.length || installed->sha256 != wanted.sha256) return check;
  // Its bytes are the release's already: staged as another name of the
  // installed file itself (no folder, no copy), so that the list's time
  // given to it is the installed file's at once. Installed or put back, the
  // file holds the same bytes, and only the time tells it is the new one's.
  if (!platform::LinkOrCopy(target, staged).ok()) return check;  // then it is fetched
  check.staged = true;
  if (Status stamped = StampFileTime(staged, modified); !stamped.ok()) check.stampFailure = stamped.message();
  return check;
}

void DecodeSaved(const std::string& saved, std::uint64_t length, const char* wrongLength,
                 std::vector<DecodeTask>& tasks) {
  DecodeSaved(std::vector<SavedPart>{{saved, length}}, wrongLength, tasks);
}

void DecodeSaved(const std::vector<SavedPart>& parts, const char* wrongLength, std::vector<DecodeTask>& tasks) {
  // Where each frame lies in the saved bytes, in order; one read of them
  // feeds every frame it passes (two rows of one content share a frame).
  std::vector<size_t> order(tasks.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return tasks[a].about.offset < tasks[b].about.offset; });
  auto begin = [&](size_t i) { return tasks[i].about.offset - tasks[i].firstOffset; };
  auto end = [&](size_t i) { return begin(i) + tasks[i].about.length; };
  std::vector<std::unique_ptr<FrameStager>> stagers(tasks.size());
  std::vector<bool> settled(tasks.size(), false);
  auto settle = [&](size_t i, Status outcome) {
    tasks[i].outcome = std::move(outcome);
    if (stagers[i]) {
      if (tasks[i].outcome.ok()) tasks[i].outcome = stagers[i]->Finish();
      else stagers[i]->Finish().IgnoreError();
      stagers[i].reset();
    }
    if (!tasks[i].outcome.ok()) platform::RemoveFile(tasks[i].staged).IgnoreError();
    settled[i] = true;
  };

  std::uint64_t at = 0;
  size_t first = 0;  // in `order`: frames before it are settled
  auto feed = [&](std::string_view piece) {
    const std::uint64_t pieceEnd = at + piece.size();
    for (size_t k = first; k < order.size() && begin(order[k]) < pieceEnd; ++k) {
      const size_t i = order[k];
      if (settled[i] || end(i) <= at) continue;
      if (!stagers[i]) {
        stagers[i] = std::make_unique<FrameStager>(tasks[i]);
        if (Status started = stagers[i]->Start(); !started.ok()) {
          settle(i, started);
          continue;
        }
      }
      const std::uint64_t from = std::max(at, begin(i)), to = std::min(pieceEnd, end(i));
      if (Status fed = stagers[i]->Feed(piece.substr(from - at, to - from)); !fed.ok()) settle(i, fed);
      else if (to == end(i)) settle(i, Status::Ok());
    }
    while (first < order.size() && settled[order[first]]) ++first;
    at = pieceEnd;
  };
  // A part's bytes are counted before they are fed: one short part must not
  // shift the next one's onto the wrong frames.
  Status read = Status::Ok();
  for (const SavedPart& part : parts) {
    if (!read.ok()) break;
    Result<std::uint64_t> length = platform::FileLength(part.path);
    if (!length.ok()) read = length.status();
    else if (*length != part.length) read = Refused(wrongLength);
    else read = platform::ReadFileInPieces(part.path, feed);
  }
  for (const SavedPart& part : parts) platform::RemoveFile(part.path).IgnoreError();
  for (size_t i = 0; i < tasks.size(); ++i) {
    if (!read.ok()) {
      if (!settled[i]) settle(i, read);
      else {
        platform::RemoveFile(tasks[i].staged).IgnoreError();
        tasks[i].outcome = read;
      }
    } else if (!settled[i]) {
      // Its frame lies past the saved bytes, or has none: the decoder says
      // what is missing.
      if (!stagers[i]) {
        stagers[i] = std::make_unique<FrameStager>(tasks[i]);
        if (Status started = stagers[i]->Start(); !started.ok()) {
          settle(i, started);
          continue;
        }
      }
      settle(i, Status::Ok());
    }
  }
}

}  // namespace vmrk
