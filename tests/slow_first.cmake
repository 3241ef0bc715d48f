# The longest discovered tests, and their seconds in the sanitizer build:
# ctest begins them first (see CMakeLists.txt).
foreach(slow IN ITEMS
        "DeliveryTest.QueueCutAtEveryByteOfItsLastEntryOrDamagedInside 47"
        "MqttTest.QueueCutAtEveryByteOfItsLastEntry 27"
        "DeliveryTest.DamagedFirstEntryOnAFullDiskCostsOnlyThatText 19"
        "DurableTest.SyncedOnceASecondAtMostAndAtTheStop 18"
        "StorageFaultTest.FilesWrittenPerDatagram 16"
        "DeliveryTest.HungServerNeitherStallsReceptionNorGetsTheNextTextTwice 15"
        "ForwardingTest.ServerThatNeverClosesIsCutOffWhileReceptionGoesOn 12"
        "FaultTest.TenThousandDatagramsFromTwoHundredFiftyDevices 11"
        "MqttTest.ADeadHostNeverStallsReception 10")
    string(REPLACE " " ";" slow "${slow}")
    list(GET slow 0 name)
    list(GET slow 1 seconds)
    set_tests_properties(${name} PROPERTIES COST ${seconds})
endforeach()
