#include <QApplication>

#include "app/mfrm.h"
#include "card/WinSCard.h"

int main(int argc, char* argv[]) {
    // A machine without pcsc-lite still gets its window: every card call then reports that the
    // resource manager is not running.
    qel::card::LoadWinSCard();
    int result = 0;
    {
        QApplication application(argc, argv);
        qel::app::Tfrm frm;
        frm.show();
        result = QApplication::exec();
    }
    qel::card::UnloadWinSCard();
    return result;
}
