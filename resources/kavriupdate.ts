<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1">
<context>
    <name>kavriUpdate</name>
    <message>
        <source>kavriUpdate</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>TextLabel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>File</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>End</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Kavri @</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Open firmware</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Kavri Files (*.kvf)</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
