#pragma once

#include <QWidget>

/// The help and credits window, shared by both roles.
class THilfeForm : public QWidget
{
    Q_OBJECT
public:
    explicit THilfeForm(QWidget *parent = nullptr);
};

extern THilfeForm *HilfeForm;
