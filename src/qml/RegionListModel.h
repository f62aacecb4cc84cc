#pragma once

#include "AppModel.h"

#include <QAbstractListModel>
#include <QPointer>
#include <QtQml/qqmlregistration.h>

namespace corvanta {

// The model's regions as a list the views can virtualise: only the online ones,
// or all of them with the online ones first (each row knows its section).
class RegionListModel : public QAbstractListModel
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QObject *source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(bool onlineOnly MEMBER m_onlineOnly WRITE setOnlineOnly NOTIFY onlineOnlyChanged)
    Q_PROPERTY(int count READ rowCount NOTIFY countChanged)

public:
    enum Role
    {
        IdRole = Qt::UserRole + 1,
        CountryRole,
        CityRole,
        FlagRole,
        OnlineRole,
        SectionRole,
        RegionRole
    };

    explicit RegionListModel(QObject *parent = nullptr);

    QObject *source() const { return m_source; }
    void setSource(QObject *source);
    void setOnlineOnly(bool onlineOnly);

    // The row of the region with that id, or -1.
    Q_INVOKABLE int indexOf(const QString &regionId) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void sourceChanged();
    void onlineOnlyChanged();
    void countChanged();

private:
    void rebuild();

    QPointer<AppModel> m_source;
    bool m_onlineOnly = false;
    QList<Region> m_rows;
};

} // namespace corvanta
