// Plug-ins packed into the installer's own file as extra sections: build mode
// packs them into a new copy; an install extracts them into the work
// directory, describes them in plugs.ini and deletes them at cleanup.
#pragma once

#include <stddef.h>
#include <windows.h>

#include "bp_exit_code.h"
#include "bp_installer_config.h"
#include "bp_pe_image.h"
#include "bp_plug_image.h"
#include "bp_text.h"

namespace bootpack {

constexpr wchar_t kPlugsIniName[] = L"plugs.ini";

// Build mode: packs the plugs named by the description file in
// config.plugs_ini_path into a new copy of the program, named own path + "_"
// + the [plugs] "list" text + ".exe". Always 0: problems leave items, the
// list section or the whole copy out.
ExitResult BuildPluggedInstaller(const InstallerConfig& config, HMODULE module);

// Own path + "_" + list + ".exe", each piece appended only when it fits.
// False when the list text could not be part of a file name (it would put
// the copy elsewhere) or nothing could be appended (the copy would replace
// the program itself).
bool BuildPluggedOutputPath(const wchar_t* own_path, const wchar_t* list,
                            wchar_t (&output)[kPathCapacity]);

// Adds one plug section per item of the list ("plu1", "plu2", ... whether or
// not an item is added) and then the "plugs" list section naming them all.
void AddPlugSections(PeImage* image, const wchar_t* description, const wchar_t* list);

// One item: `item` holds `units` units of the list. Adds and fills its plug
// section, or silently adds nothing. A slot is always kept for the list
// section, without which no plug would be found at install time.
void AddPlugSection(PeImage* image, const wchar_t* item, size_t units, const wchar_t* section_name,
                    const wchar_t* description);

// Extracts the packed plugs into the work directory and, when it writes a
// plugs.ini, points config->plugs_ini_path at it. Never fails the run.
void ExtractPlugs(InstallerConfig* config, HMODULE module, const wchar_t* work_dir);

// The same from an image already opened. True with the plugs.ini path in
// `ini_path` when plugs.ini was written; otherwise nothing is left behind.
bool ExtractPlugsFromImage(const PlugImage& image, const wchar_t* work_dir,
                           wchar_t (&ini_path)[kPathCapacity]);

// One plug named by `units` units of the list: its file and its plugs.ini
// section. False when skipped; nothing of it is left then.
bool ExtractPlug(const PlugImage& image, const wchar_t* name, size_t units, const wchar_t* ini_path,
                 const wchar_t* work_dir);

// Deletes the plug files named in plugs.ini, then plugs.ini itself.
void DeleteExtractedPlugs(const InstallerConfig& config);

// Deletes the "file" of every section the list names, but only files
// directly inside the folder that holds plugs.ini.
void DeleteListedPlugs(const wchar_t* ini_path, const wchar_t* list);

}  // namespace bootpack
