// Copying from the installation media onto the target drive.
#pragma once

// 1 when `path` names a directory (it opens and lists), else 0.
int path_is_directory(const char* path);
