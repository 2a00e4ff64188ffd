import QtQuick 2.0
import ZUVU.Controls 1.0 as ZUVU

// The connected device: its firmware versions next to those the update
// server offers, and the buttons to check, read the change list and update.
Rectangle {
    id: device

    readonly property int labelOffset: 10 * ZUVU.Theme.scaleFactor
    readonly property int controlOffset: 20 * ZUVU.Theme.scaleFactor

    signal checkUpdates()
    signal showChangelist()
    signal updateRequest()

    // An offered version counts when there is one and it is not, as text,
    // the version on the device; newer or older makes no difference.
    function differs(available, current) {
        return available !== "" && available !== current
    }

    function versionColor(available, current) {
        return available === current ? "white" : "#f6b41a"
    }

    color: "transparent"

    Image {
        id: device_logo
        source: "qrc:/images/orvik.png"
        width: 160 * ZUVU.Theme.scaleFactor
        height: 100 * ZUVU.Theme.scaleFactor
        anchors.top: parent.top
        anchors.topMargin: 60 * ZUVU.Theme.scaleFactor
        anchors.horizontalCenter: parent.horizontalCenter
    }

    ZUVU.Button {
        id: checkupdate
        text: qsTr("CHECK FOR UPDATES")
        width: 180 * ZUVU.Theme.scaleFactor
        anchors.top: device_logo.bottom
        anchors.topMargin: device.controlOffset
        anchors.right: parent.horizontalCenter
        anchors.rightMargin: device.controlOffset / 2
        onClicked: device.checkUpdates()
    }

    ZUVU.Button {
        id: changelist
        text: qsTr("CHANGELIST")
        width: checkupdate.width
        anchors.top: checkupdate.top
        anchors.left: parent.horizontalCenter
        anchors.leftMargin: device.controlOffset / 2
        onClicked: device.showChangelist()
    }

    ZUVU.Text {
        id: currl
        text: qsTr("CURRENT")
        width: 100 * ZUVU.Theme.scaleFactor
        anchors.top: checkupdate.bottom
        anchors.topMargin: device.controlOffset
        anchors.left: bootl.right
        anchors.leftMargin: device.labelOffset
    }

    ZUVU.Text {
        id: availl
        text: qsTr("AVAILABLE")
        width: currl.width
        anchors.top: currl.top
        anchors.left: currl.right
        anchors.leftMargin: device.labelOffset
    }

    ZUVU.Text {
        id: bootl
        text: qsTr("BOOTLOADER:")
        width: 160 * ZUVU.Theme.scaleFactor
        horizontalAlignment: Text.AlignRight
        anchors.left: checkupdate.left
        anchors.top: checkupdate.bottom
        anchors.topMargin: currl.height + device.controlOffset + device.labelOffset
    }

    ZUVU.Text {
        id: pril
        text: qsTr("PRIMARY FIRMWARE:")
        width: bootl.width
        horizontalAlignment: Text.AlignRight
        anchors.left: bootl.left
        anchors.top: bootl.bottom
        anchors.topMargin: device.labelOffset
    }

    ZUVU.Text {
        id: secl
        text: qsTr("SECONDARY FIRMWARE:")
        width: bootl.width
        horizontalAlignment: Text.AlignRight
        anchors.left: bootl.left
        anchors.top: pril.bottom
        anchors.topMargin: device.labelOffset
    }

    // The program destroys the Updater before the window at exit; the
    // bindings then read nothing instead of failing.
    ZUVU.Text {
        id: bootv
        text: Updater ? Updater.bootloaderVersion : ""
        anchors.left: currl.left
        anchors.right: currl.right
        anchors.top: bootl.top
    }

    ZUVU.Text {
        id: priv
        text: Updater ? Updater.primaryVersion : ""
        anchors.left: currl.left
        anchors.right: currl.right
        anchors.top: pril.top
    }

    ZUVU.Text {
        id: secv
        text: Updater ? Updater.secondaryVersion : ""
        anchors.left: currl.left
        anchors.right: currl.right
        anchors.top: secl.top
    }

    ZUVU.Text {
        id: bootu
        text: Updater ? Updater.bootloaderUpdateVersion : ""
        color: device.versionColor(text, bootv.text)
        anchors.left: availl.left
        anchors.right: availl.right
        anchors.top: bootl.top
    }

    ZUVU.Text {
        id: priu
        text: Updater ? Updater.primaryUpdateVersion : ""
        color: device.versionColor(text, priv.text)
        anchors.left: availl.left
        anchors.right: availl.right
        anchors.top: pril.top
    }

    ZUVU.Text {
        id: secu
        text: Updater ? Updater.secondaryUpdateVersion : ""
        color: device.versionColor(text, secv.text)
        anchors.left: availl.left
        anchors.right: availl.right
        anchors.top: secl.top
    }

    ZUVU.Button {
        id: updatebtn
        text: qsTr("UPDATE")
        anchors.top: secl.bottom
        anchors.topMargin: device.controlOffset
        anchors.horizontalCenter: parent.horizontalCenter
        visible: device.differs(bootu.text, bootv.text)
                 || device.differs(priu.text, priv.text)
                 || device.differs(secu.text, secv.text)
        onClicked: device.updateRequest()
    }
}
