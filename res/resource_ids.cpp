#include "res/resource_ids.h"

// The artwork lives in a static library, so its resources must be registered
// explicitly or the linker drops them.
static void RegisterArtwork() {
    Q_INIT_RESOURCE(artwork);
}

namespace kestrona::res {
namespace {
void EnsureArtwork() {
    static const bool done = (RegisterArtwork(), true);
    (void)done;
}
}  // namespace

QString BitmapPath(int id) {
    EnsureArtwork();
    return QStringLiteral(":/kestrona/bmp%1.png").arg(id);
}

QString IconPath(int id) {
    EnsureArtwork();
    return QStringLiteral(":/kestrona/icon%1.png").arg(id);
}

}  // namespace kestrona::res
