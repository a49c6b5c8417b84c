#include "listgen/release_objects_writer.h"

#include <map>
#include <set>

#include "listgen/release_signing.h"
#include "platform/crypto.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "updatelist/hex_base64.h"
#include "updatelist/zstd_frames.h"

namespace vmrk {

std::string ObjectFileIn(const std::string& objectsFolder, std::string_view objectPath) {
  return objectsFolder + platform::PathSeparator() + std::string(objectPath.substr(kObjectsFolder.size()));
}

Status WriteObjectFile(const std::string& objectsFolder, std::string_view objectPath, std::string_view bytes) {
  const std::string path = ObjectFileIn(objectsFolder, objectPath);
  if (platform::PathExists(path)) return Status::Ok();
  return platform::WriteFileAtomically(path, bytes);
}

Status WriteFileObjects(const std::string& releaseRoot, const ReleaseManifest& manifest, const ObjectIndex* index,
                        const std::string& objectsFolder, std::uint64_t* bytes) {
  *bytes = 0;
  if (!platform::PathExists(objectsFolder))
    if (Status made = platform::CreateFolder(objectsFolder); !made.ok()) return made;
  for (const ManifestFile& file : manifest.files) {
    if (!PublishedAsItself(index, {file.sha256, file.length})) continue;
    const std::string path = ObjectFileIn(objectsFolder, FileObjectPath(file.sha256));
    if (platform::PathExists(path)) continue;
    // A copy, never a second name of the release's file: an object must not
    // change when someone edits the release folder later. Checked once made,
    // since the file may have changed since it was hashed.
    const std::string part = path + ".part";
    platform::RemoveFile(part).IgnoreError();
    Status made = platform::CopyToNew(ReleaseFileOf(releaseRoot, file.location), part, "");
    if (made.ok()) {
      Result<platform::FileDigest> digest = platform::Sha256OfFile(part);
      if (!digest.ok()) made = digest.status();
      else if (digest->sha256 != file.sha256 || digest->length != file.length)
        made = Status::Error(file.location + " changed while the release was being made");
    }
    if (made.ok()) made = platform::RenameReplacing(part, path);
    if (!made.ok()) {
      platform::RemoveFile(part).IgnoreError();
      return made;
    }
    *bytes += file.length;
  }
  return Status::Ok();
}

Status WriteReleaseObjects(const std::string& releaseRoot, const ReleaseManifest& manifest,
                           const std::vector<std::string>& oldRoots, const std::string& objectsFolder, int level,
                           const std::function<void(const ObjectsProgress&)>& progress, ObjectIndex* index,
                           ObjectsReport* report) {
  *index = ObjectIndex{};
  *report = ObjectsReport{};
  index->listSha256 = manifest.listSha256;
  index->listLength = manifest.listLength;
  if (!platform::PathExists(objectsFolder))
    if (Status made = platform::CreateFolder(objectsFolder); !made.ok()) return made;

  ObjectsProgress done;
  done.filesTotal = manifest.files.size() * (1 + oldRoots.size());
  for (const ManifestFile& file : manifest.files) done.bytesTotal += file.length * (1 + oldRoots.size());
  auto advance = [&](std::uint64_t bytes) {
    ++done.filesDone;
    done.bytesDone += bytes;
    if (progress) progress(done);
  };

  // Compressed copies, each content once; their frames serve the packages'
  // new files too.
  std::map<std::string, std::string> copyFrames;  // file sha256 -> frame
  for (const ManifestFile& file : manifest.files) {
    report->fullBytes += file.length;
    if (copyFrames.count(file.sha256)) {
      advance(file.length);
      continue;
    }
    std::string bytes;
    if (Status read = platform::ReadWholeFile(ReleaseFileOf(releaseRoot, file.location), &bytes); !read.ok()) return read;
    if (bytes.size() != file.length || platform::Sha256Bytes(bytes) != file.sha256)
      return Status::Error(file.location + " changed while the release was being made");
    Result<std::string> encoded = EncodeFrame(bytes, {}, level);
    if (!encoded.ok()) return encoded.status();
    std::string frame = std::move(encoded).value();
    CompressedCopy copy;
    copy.sha256 = platform::Sha256Bytes(frame);
    copy.frame.length = frame.size();
    copy.frame.file = {file.sha256, file.length};
    if (Status written = WriteObjectFile(objectsFolder, CopyObjectPath(copy), frame); !written.ok()) return written;
    report->copyBytes += frame.size();
    index->copies.push_back(std::move(copy));
    copyFrames.emplace(file.sha256, std::move(frame));
    advance(file.length);
  }

  for (const std::string& oldRoot : oldRoots) {
    PackageReport packed{oldRoot};
    DeltaPackage package;
    std::string bytes;
    for (const ManifestFile& file : manifest.files) {
      const std::string oldPath = ReleaseFileOf(oldRoot, file.location);
      ObjectFrame frame;
      frame.file = {file.sha256, file.length};
      std::string frameBytes;
      // A file too long to patch comes whole, as a new file does; either
      // way one that did not change is not in the package at all.
      bool patchable = false;
      std::string base;
      if (platform::PathExists(oldPath)) {
        Result<std::uint64_t> oldLength = platform::FileLength(oldPath);
        if (!oldLength.ok()) return oldLength.status();
        patchable = PatchAllowed(*oldLength, file.length);
        if (patchable) {
          if (Status read = platform::ReadWholeFile(oldPath, &base); !read.ok()) return read;
          frame.base = {platform::Sha256Bytes(base), base.size()};
        } else {
          Result<platform::FileDigest> old = platform::Sha256OfFile(oldPath);
          if (!old.ok()) return old.status();
          frame.base = {old->sha256, old->length};
        }
        if (frame.base == frame.file) {
          advance(file.length);
          continue;
        }
      }
      if (!patchable) {
        frame.base = {};
        frameBytes = copyFrames.at(file.sha256);
        ++packed.wholes;
      } else {
        std::string current;
        if (Status read = platform::ReadWholeFile(ReleaseFileOf(releaseRoot, file.location), &current); !read.ok())
          return read;
        Result<std::string> encoded = EncodeFrame(current, base, level);
        if (!encoded.ok()) return encoded.status();
        frameBytes = std::move(encoded).value();
        frame.patch = true;
        ++packed.patches;
      }
      frame.offset = bytes.size();
      frame.length = frameBytes.size();
      bytes += frameBytes;
      package.frames.push_back(std::move(frame));
      advance(file.length);
    }
    if (!package.frames.empty()) {
      package.sha256 = platform::Sha256Bytes(bytes);
      package.length = bytes.size();
      if (Status written = WriteObjectFile(objectsFolder, PackageObjectPath(package), bytes); !written.ok())
        return written;
      packed.bytes = bytes.size();
      index->packages.push_back(std::move(package));
    }
    report->packages.push_back(std::move(packed));
  }
  // The full package, after the delta packages: the copies' very frames, so
  // that it costs no encoding. The files that changed since an earlier
  // release come first, back to back: an installation that no patch serves
  // (a file edited by hand, a base no package knows) most likely needs
  // those, and fetches them as one run, with no bytes between them.
  if (!index->copies.empty()) {
    std::vector<const CompressedCopy*> order;
    std::set<std::string> first;
    for (const DeltaPackage& package : index->packages)
      for (const ObjectFrame& frame : package.frames) first.insert(frame.file.sha256);
    for (const bool changed : {true, false})
      for (const CompressedCopy& copy : index->copies)
        if (first.count(copy.frame.file.sha256) == static_cast<size_t>(changed)) order.push_back(&copy);
    DeltaPackage full;
    std::string bytes;
    bytes.reserve(report->copyBytes);
    for (const CompressedCopy* copyOf : order) {
      const CompressedCopy& copy = *copyOf;
      ObjectFrame frame = copy.frame;
      frame.offset = bytes.size();
      bytes += copyFrames.at(copy.frame.file.sha256);
      full.frames.push_back(std::move(frame));
    }
    full.sha256 = platform::Sha256Bytes(bytes);
    full.length = bytes.size();
    if (Status written = WriteObjectFile(objectsFolder, PackageObjectPath(full), bytes); !written.ok()) return written;
    report->fullPackageBytes = bytes.size();
    index->packages.push_back(std::move(full));
  }

  return Status::Ok();
}

}  // namespace vmrk
