#pragma once

#include "Quillmere/Archive/JsonExport.h"

namespace quillmere::jsonexport {

// A save dialog titled "Export Brindlewax JSON" and a warning box.
ExportInteraction dialogInteraction();

} // namespace quillmere::jsonexport
