#pragma once

#include <QMainWindow>

class TclientForm : public QMainWindow
{
    Q_OBJECT
public:
    explicit TclientForm(QWidget *parent = nullptr);
};

extern TclientForm *clientForm;
