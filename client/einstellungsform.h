#pragma once

#include <QWidget>

class TeinstellungsForm : public QWidget
{
    Q_OBJECT
public:
    explicit TeinstellungsForm(QWidget *parent = nullptr);
};

extern TeinstellungsForm *einstellungsForm;
