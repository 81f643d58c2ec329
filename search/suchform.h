#pragma once

#include <QWidget>

class TsuchForm : public QWidget
{
    Q_OBJECT
public:
    explicit TsuchForm(QWidget *parent = nullptr);

    /// A search is running: probes exist and their results count.
    bool searching = false;
};

extern TsuchForm *suchForm;
