#include <QApplication>

#include "app/mfrm.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    qel::app::Tfrm frm;
    frm.show();
    return QApplication::exec();
}
