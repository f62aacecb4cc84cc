#include "RegionListModel.h"

namespace corvanta {

RegionListModel::RegionListModel(QObject *parent)
    : QAbstractListModel(parent)
{ }

void RegionListModel::setSource(QObject *source)
{
    if (m_source)
        disconnect(m_source, nullptr, this, nullptr);
    m_source = qobject_cast<AppModel *>(source);
    if (m_source)
        connect(m_source, &AppModel::regionsChanged, this, &RegionListModel::rebuild);
    rebuild();
    emit sourceChanged();
}

void RegionListModel::setOnlineOnly(bool onlineOnly)
{
    m_onlineOnly = onlineOnly;
    rebuild();
    emit onlineOnlyChanged();
}

void RegionListModel::rebuild()
{
    beginResetModel();
    m_rows.clear();
    if (m_source) {
        const QList<Region> &all = m_source->regions();
        std::copy_if(
            all.cbegin(), all.cend(), std::back_inserter(m_rows), [](const Region &r) { return r.online(); });
        if (!m_onlineOnly)
            std::copy_if(all.cbegin(), all.cend(), std::back_inserter(m_rows),
                [](const Region &r) { return !r.online(); });
    }
    endResetModel();
    emit countChanged();
}

int RegionListModel::indexOf(const QString &regionId) const
{
    const auto it = std::find_if(m_rows.cbegin(), m_rows.cend(), [&](const Region &r) { return r.id == regionId; });
    return it == m_rows.cend() ? -1 : static_cast<int>(it - m_rows.cbegin());
}

int RegionListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

QVariant RegionListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const Region &region = m_rows.at(index.row());
    switch (role) {
    case IdRole:
        return region.id;
    case CountryRole:
        return region.country;
    case CityRole:
        return region.city;
    case FlagRole:
        return region.flag;
    case OnlineRole:
        return region.online();
    case SectionRole:
        return region.online() ? QStringLiteral("AVAILABLE") : QStringLiteral("COMING SOON");
    case RegionRole:
        return QVariant::fromValue(region);
    default:
        return {};
    }
}

QHash<int, QByteArray> RegionListModel::roleNames() const
{
    return {{IdRole, "regionId"}, {CountryRole, "country"}, {CityRole, "city"}, {FlagRole, "flag"},
        {OnlineRole, "online"}, {SectionRole, "section"}, {RegionRole, "region"}};
}

} // namespace corvanta
