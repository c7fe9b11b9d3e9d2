#include "res/resource_ids.h"

namespace kestrona::res {

QString BitmapPath(int id) { return QStringLiteral(":/kestrona/bmp%1.png").arg(id); }
QString IconPath(int id) { return QStringLiteral(":/kestrona/icon%1.png").arg(id); }

}  // namespace kestrona::res
