#include "Quillmere/Search/SearchLogging.h"

Q_LOGGING_CATEGORY(lcSemanticSearch, "com.orvantide.quillmere.semantic-search")
