// The folder driver's five operations: copies between the local file system and a folder that
// serves as the storage. The library kellar-fs exports them as the C functions of storage_api.h.
#pragma once

#include "drivers/storage_api.h"

namespace kestrun::folder_driver {

// Texts are zero-terminated UTF-8. Errors that are not results leave as
// std::filesystem::filesystem_error with the operation "exists" (a status query that fails for
// another reason than "not found"), "create_directories" or "copy_file".

// A handle for the folder `link` (any existing entry; kept as given, so a relative link follows
// the current folder); 0 when nothing of that name exists.
storage_handle connect(const char* link);
// Forgets the handle; unknown handles are ignored.
void disconnect(storage_handle handle);
// Copies `local_path` to root/`remote_name`, creating its folders. 1 when the stored file is
// already there, also when another process stores it while this copy runs (it is never
// overwritten), 99 for an unknown handle or a storage that cannot put it on its disk, else 0.
// A name outside "files/" (a version file) is put in place only after everything stored before
// it is on the disk, and is there itself, with its folder entry, when 0 is returned. What cut
// uploads of the name left beside it (`<name>.partial-<n>`) is removed. On the storage's file
// system a content (a name below "files/") becomes a further name of the local file instead of a
// copy, so the caller must never write into that file afterwards; it may remove it.
storage_result upload(storage_handle handle, const char* local_path, const char* remote_name);
// Copies root/`remote_name` to `local_path`, creating its folders. 1 when nothing is stored under
// that name (nothing is created), 99 for an unknown handle, else 0. An existing local file is a
// "copy_file" error. On the storage's file system the local file is a hard link to the stored
// one, so the caller must only read it, move it or remove it, never write into it.
storage_result download(storage_handle handle, const char* remote_name, const char* local_path);
// 1 when root/`remote_name` exists (a folder too), 0 when not, 99 for an unknown handle.
storage_result file_exists(storage_handle handle, const char* remote_name);

}  // namespace kestrun::folder_driver
