// Extracting an archive of the data store into a new store.
#pragma once

#include <cstddef>
#include <string>

// Where the decompressed stream is kept between the two phases of an extraction.
constexpr const char *ARCHIVE_TMP_FILE = "korvane-arch.tmp";

// Whether a file header's 256 path bytes name a file an extraction may create: terminated,
// below "storage.db/", with no empty component and none beginning with ".".
bool archive_path_acceptable(const char path[256]);

// Extracts the archive into a new "storage.db" of the working directory, through the
// temporary file ARCHIVE_TMP_FILE, with progress bars. The store's version file is written
// last, so a failed extraction never leaves a store that opens; a failure removes the store
// directory it made. The temporary file is held under a lock while in use and removed at the
// end, failed or not; one that no extraction holds (left by a killed run) is taken over. 0,
// or -1 with the first failure's cause in one line in *cause (when given).
int dbs_extract(const char *archive_path, std::string *cause = nullptr);
