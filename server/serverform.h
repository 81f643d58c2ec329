#pragma once

#include <QMainWindow>

class TserverForm : public QMainWindow
{
    Q_OBJECT
public:
    explicit TserverForm(QWidget *parent = nullptr);
};

extern TserverForm *serverForm;
