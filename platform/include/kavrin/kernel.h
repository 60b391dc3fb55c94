// kernel32's role: errors, text and code pages, the Windows and system
// directories, files and paths, profile files, modules, synchronisation, time.
#pragma once

#include <kavrin/errors.h>
#include <kavrin/kernel/files.h>
#include <kavrin/kernel/modules.h>
#include <kavrin/kernel/profile.h>
#include <kavrin/kernel/sync.h>
#include <kavrin/kernel/system_dirs.h>
#include <kavrin/kernel/text.h>
#include <kavrin/kernel/time.h>
