// The maintainer's side of the release objects: a compressed copy of every
// file of the release and, for each earlier release, one delta package, all
// written into the objects folder beside the list under the SHA-256 of their
// own bytes, and the index that names them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/status.h"
#include "updatelist/release_manifest.h"
#include "updatelist/release_objects.h"

namespace vmrk {

// zstd -19, as the deltas' measure is taken.
inline constexpr int kObjectLevel = 19;

struct ObjectsProgress {
  size_t filesDone = 0, filesTotal = 0;
  std::uint64_t bytesDone = 0, bytesTotal = 0;
};

struct PackageReport {
  std::string oldRoot;
  std::uint64_t bytes = 0;  // 0: nothing differs, no package
  size_t patches = 0, wholes = 0;
};

struct ObjectsReport {
  std::uint64_t fullBytes = 0;  // the release's files as they are
  std::uint64_t copyBytes = 0;  // their compressed copies, each content once
  std::uint64_t fullPackageBytes = 0;  // the same copies back to back, as one package
  std::vector<PackageReport> packages;
};

// For the release below releaseRoot as `manifest` names it (built from the
// list whose exact bytes are listBytes). The copies are also written back to
// back as the release's full package (whole frames only, in the copies'
// order), from which an updater with no usable base takes many files in a
// few ranges. An earlier release is a folder of
// the same shape: a file at the same location with other bytes gets a patch
// against it, one not there a compressed copy in the package, one with the
// same bytes nothing (an updater does not fetch it). An object already in
// the folder is not written again: its name says it holds the same bytes.
// Each file that PublishedAsItself says an updater fetches as it is, at
// FileObjectPath, each content once; *bytes counts what was new. A file that
// no longer has the manifest's bytes fails the whole, and leaves no object.
Status WriteFileObjects(const std::string& releaseRoot, const ReleaseManifest& manifest, const ObjectIndex* index,
                        const std::string& objectsFolder, std::uint64_t* bytes);

// Where an object named by its path below vmrkxupdate/ (CopyObjectPath,
// FileObjectPath, ...) lies in the local objects folder.
std::string ObjectFileIn(const std::string& objectsFolder, std::string_view objectPath);

// One object, by its path below vmrkxupdate/: written atomically, and not at
// all when it is there already (its name says it holds the same bytes).
Status WriteObjectFile(const std::string& objectsFolder, std::string_view objectPath, std::string_view bytes);

Status WriteReleaseObjects(const std::string& releaseRoot, const ReleaseManifest& manifest,
                           const std::vector<std::string>& oldRoots, const std::string& objectsFolder, int level,
                           const std::function<void(const ObjectsProgress&)>& progress, ObjectIndex* index,
                           ObjectsReport* report);

}  // namespace vmrk
